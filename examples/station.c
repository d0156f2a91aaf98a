/* One station cycle in C against the installed library:
 *   station_c STATION SERIAL RESULT.xml
 * The component folder is $DEZOZEVO_HOME. Exit status: 0 stored, 1 refused
 * or failed. The methods are called as typed C functions (dz_SaveResult,
 * ...); only the state comes as JSON, of which this program reads two numbers. */
#include <dezozevo/dezozevo.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

/* The number after "key": in a JSON text; -1 when it is not a number (null). */
static long number_of(const char* json, const char* key) {
    char pattern[64];
    snprintf(pattern, sizeof pattern, "\"%s\":", key);
    const char* p = strstr(json, pattern);
    if (!p) return -1;
    p += strlen(pattern);
    char* end;
    long n = strtol(p, &end, 10);
    return end == p ? -1 : n;
}

/* Prints why a step did not go on: the function's failure or the method's
 * status with the state (its "lastFailure" has the description). */
static int refused(dz_tester* t, const char* step, int rc, int32_t status) {
    if (rc != DZ_OK) {
        fprintf(stderr, "%s: %s\n", step, dz_last_error());
        return 1;
    }
    char* state = NULL;
    dz_state(t, &state);
    fprintf(stderr, "%s: status %d; state %s\n", step, (int)status, state ? state : "?");
    dz_free(state);
    return 1;
}

static char* read_file(const char* path) {
    FILE* f = fopen(path, "rb");
    if (!f) return NULL;
    fseek(f, 0, SEEK_END);
    long n = ftell(f);
    fseek(f, 0, SEEK_SET);
    char* text = n >= 0 ? malloc((size_t)n + 1) : NULL;
    if (text && fread(text, 1, (size_t)n, f) != (size_t)n) {
        free(text);
        text = NULL;
    }
    if (text) text[n] = '\0';
    fclose(f);
    return text;
}

static int cycle(dz_tester* t, const char* station, const char* serial, const char* result) {
    char* state = NULL;
    if (dz_state(t, &state) != DZ_OK) return refused(t, "state", DZ_E_FAILED, 0);
    printf("state %s\n", state);
    long startup = number_of(state, "startupStatus");
    dz_free(state);
    if (startup != 0) return refused(t, "start-up", DZ_OK, (int32_t)startup);

    /* May the unit be tested here now? Generation 10 asks the database
     * (CheckRoute); on 20 and later CheckRoute answers 0 without asking, so
     * dz_may_test reads the unit's status and next station from its unit
     * document. A unit on hold or due at another station is not tested and
     * no result is stored for it. */
    char* unit_info = NULL;
    int32_t status = -1;
    int rc = dz_may_test(t, serial, station, &unit_info, &status);
    if (rc != DZ_OK || status != 0) return refused(t, "not cleared for test", rc, status);
    printf("unit %s: %zu bytes of unit data\n", serial, strlen(unit_info));
    dz_free(unit_info);

    /* ... the test runs here and writes its result document ... */

    rc = dz_SaveResult(t, result, &status);
    if (rc != DZ_OK || status != 0) return refused(t, "SaveResult", rc, status);
    dz_state(t, &state);
    long id = state ? number_of(state, "testId") : -1; /* null on generation 20 and later */
    dz_free(state);
    if (id >= 0)
        printf("result stored, test ID %ld\n", id);
    else
        printf("result stored\n");
    return 0;
}

int main(int argc, char** argv) {
    if (argc != 4) {
        fprintf(stderr, "usage: station_c STATION SERIAL RESULT.xml\n");
        return 2;
    }
    char* result = read_file(argv[3]);
    if (!result) {
        fprintf(stderr, "cannot read %s\n", argv[3]);
        return 2;
    }
    dz_tester* t = NULL;
    if (dz_tester_create(&t) != DZ_OK) {
        fprintf(stderr, "%s\n", dz_last_error());
        free(result);
        return 1;
    }
    int rc = cycle(t, argv[1], argv[2], result);
    dz_tester_release(t);
    free(result);
    return rc;
}
