/* A call through the C interface, timed in C: the reference that
 * bench/python_overhead.py compares the Python package's call with.
 *   checkroute_c_timing CALLS [CalcErrCode]   (DEZOZEVO_HOME names the component folder)
 * CheckRoute of a sample unit, or CalcErrCode (no database). Prints the mean
 * time of one call in nanoseconds, after as many calls again to warm up. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "dezozevo/dezozevo.h"

int main(int argc, char** argv) {
    long calls = argc > 1 ? atol(argv[1]) : 0;
    if (calls <= 0) {
        fprintf(stderr, "usage: checkroute_c_timing CALLS [CalcErrCode]\n");
        return 2;
    }
    dz_tester* t = NULL;
    if (dz_tester_create(&t) != DZ_OK) {
        fprintf(stderr, "%s\n", dz_last_error());
        return 1;
    }
    const int calc = argc > 2 && strcmp(argv[2], "CalcErrCode") == 0;
    const char* method = calc ? "CalcErrCode" : "CheckRoute";
    const char* args = calc ? "[\"General network error\"]" : "[\"SN24001-0003\", \"FCT-01\"]";
    struct timespec a, b;
    for (long i = -calls; i < calls; ++i) {
        if (i == 0) clock_gettime(CLOCK_MONOTONIC, &a);
        char* out = NULL;
        if (dz_invoke(t, method, args, &out) != DZ_OK) {
            fprintf(stderr, "%s\n", dz_last_error());
            return 1;
        }
        dz_free(out);
    }
    clock_gettime(CLOCK_MONOTONIC, &b);
    printf("%.0f\n", ((b.tv_sec - a.tv_sec) * 1e9 + (b.tv_nsec - a.tv_nsec)) / (double)calls);
    dz_tester_release(t);
    return 0;
}
