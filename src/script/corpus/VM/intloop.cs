// Integer arithmetic in a loop.
int main() {
    int sum = 0;
    int i = 0;
    while (i < 20000000) {
        sum = (sum + i * 7) % 1000003;
        i++;
    }
    return sum;
}
