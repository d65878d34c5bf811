int f(int n) { if (n <= 1) return 1; return n * f(n - 1); }
int g() { int m[] = { "a": 1, "b": 2.5 }; string s = "x"; s += m["b"]; return s == "x2.5"; }
int a(int n) { do { n--; if (n == 3) break; } while (n > 0); return n % 0; }
