// Float arithmetic in a loop.
int main() {
    float x = 0.0;
    int i = 0;
    while (i < 10000000) {
        x = x * 0.5 + 1.25;
        i++;
    }
    return x;
}
