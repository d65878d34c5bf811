#define N 3
#ifdef N
#import(class, HashArray)
int a[N] = { 1, 2, 3 };
#else
int b;
#endif
int f(int x) { if (x > __LINE__) return x; else return f(x + 1); }
