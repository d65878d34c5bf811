// Many small function calls.
int add3(int a, int b, int c) { return a + b + c; }
int twice(int x) { return x + x; }
int main() {
    int sum = 0;
    int i = 0;
    while (i < 3000000) {
        sum = (sum + add3(i, twice(i), 1)) % 1000003;
        i++;
    }
    return sum;
}
