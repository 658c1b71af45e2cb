/* The native library the script tests call through dllcall: integers, doubles, strings
   of both widths, buffers, structures, callbacks and errno. */
#include <errno.h>
#include <pthread.h>
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#define EXPORT __attribute__((visibility("default")))

EXPORT int kt_add(int a, int b) { return a + b; }
EXPORT unsigned kt_word_in(unsigned w) { return w; }
EXPORT int kt_minus5(void) { return -5; }
EXPORT long long kt_wide_result(void) { return 0x100000007LL; }
EXPORT long long kt_ptr_arg(long long p) { return p < 0 ? 1 : 0; }
EXPORT double kt_scale(double a, int b) { return a * b; }
EXPORT int kt_mixed(int a, double b, int c, double d) { return (int)(a * 1000 + b * 100 + c * 10 + d); }

EXPORT int kt_sum20(int a1, int a2, int a3, int a4, int a5, int a6, int a7, int a8, int a9, int a10, int a11,
                    int a12, int a13, int a14, int a15, int a16, int a17, int a18, int a19, int a20) {
    return a1 + a2 + a3 + a4 + a5 + a6 + a7 + a8 + a9 + a10 + a11 + a12 + a13 + a14 + a15 + a16 + a17 + a18 + a19 +
           a20 * 1000;
}

EXPORT int kt_len(const char* s) { return s ? (int)strlen(s) : -1; }
EXPORT const char* kt_greet(void) { return "hello"; }
EXPORT const char* kt_null_str(void) { return NULL; }
EXPORT int kt_wlen(const uint16_t* s) {
    int n = 0;
    while (s[n]) ++n;
    return n;
}
/* The first UTF-16 unit of a string: shows it is 16 bits wide. */
EXPORT int kt_wfirst(const uint16_t* s) { return s[0]; }
static const uint16_t kWide[] = {'w', 'i', 0x00e9, 'd', 0};
EXPORT const uint16_t* kt_wgreet(void) { return kWide; }
EXPORT int kt_isnull(const void* p) { return p == NULL; }

/* Writes n bytes 'A', 'B', ... into the buffer. */
EXPORT int kt_fill(unsigned char* buf, int n) {
    for (int i = 0; i < n; ++i) buf[i] = (unsigned char)('A' + i % 26);
    return n;
}
/* The buffer's address fits 31 bits: it was mapped low. */
EXPORT int kt_low(const void* p) { return (uintptr_t)p < ((uintptr_t)1 << 31); }

EXPORT int kt_errno(int e) {
    errno = e;
    return -1;
}

struct kt_rec {
    unsigned char b;
    unsigned short w;
    int l;
    long long p;
    double d;
    const char* s;
    char name[8];
    int arr[3];
};
/* Checks the layout the definition language gives, then changes some members. */
EXPORT int kt_rec_touch(struct kt_rec* r) {
    int sum = r->b + r->w + r->l + (int)r->p + r->arr[0] + r->arr[1] + r->arr[2] + (r->s ? (int)strlen(r->s) : 0);
    r->d *= 2;
    strcpy(r->name, "native");
    r->arr[2] = 99;
    r->l = -1;
    return sum;
}
EXPORT int kt_rec_size(void) { return (int)sizeof(struct kt_rec); }
EXPORT int kt_name_offset(void) { return (int)offsetof(struct kt_rec, name); }

EXPORT int kt_apply(int (*f)(int, int), int a, int b) { return f(a, b); }
EXPORT double kt_applyd(double (*f)(double), double x) { return f(x); }
EXPORT int kt_applys(int (*f)(const char*, const uint16_t*)) { return f("narrow", kWide); }
EXPORT int kt_apply_twice(int (*f)(int, int), int a) { return f(f(a, 1), 2); }
EXPORT unsigned kt_applyw(unsigned (*f)(unsigned)) { return f(70000u & 0xFFFF); }
EXPORT void kt_applyv(void (*f)(int)) { f(3); }

static int (*thread_fn)(int);
static int thread_result;
static void* thread_main(void* unused) {
    (void)unused;
    thread_result = thread_fn(7);
    return NULL;
}
/* Calls the callback from a thread of its own; gives what it returned. */
EXPORT int kt_apply_thread(int (*f)(int)) {
    pthread_t t;
    thread_fn = f;
    thread_result = -1;
    if (pthread_create(&t, NULL, thread_main, NULL) != 0) return -2;
    pthread_join(t, NULL);
    return thread_result;
}

static int (*kept_fn)(int);
EXPORT void kt_keep(int (*f)(int)) { kept_fn = f; }
EXPORT int kt_call_kept(int x) { return kept_fn ? kept_fn(x) : -1; }
