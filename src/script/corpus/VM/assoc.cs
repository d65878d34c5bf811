// Associative arrays keyed by strings.
int main() {
    int m[];
    int i = 0;
    while (i < 2000) {
        m["k" + i] = i;
        i++;
    }
    int round = 0;
    int sum = 0;
    while (round < 500) {
        i = 0;
        while (i < 2000) {
            sum = (sum + m["k" + i]) % 1000003;
            i++;
        }
        round++;
    }
    return sum;
}
