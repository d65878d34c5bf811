// String building: appending pieces to a growing string.
int main() {
    int total = 0;
    int round = 0;
    while (round < 1000) {
        string s = "";
        int i = 0;
        while (i < 500) {
            s = s + "ab" + i;
            i++;
        }
        total = total + 1;
        round++;
    }
    return total;
}
