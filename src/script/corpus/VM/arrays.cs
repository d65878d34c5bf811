// Indexed array reads and writes.
int main() {
    int a[1000];
    int round = 0;
    int sum = 0;
    while (round < 3000) {
        int i = 0;
        while (i < 1000) {
            a[i] = a[i] + i;
            sum = sum + a[i] % 7;
            i++;
        }
        round++;
    }
    return sum;
}
