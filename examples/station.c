/* One station cycle in C against the installed library:
 *   station_c STATION SERIAL RESULT.xml
 * The component folder is $DEZOZEVO_HOME. Exit status: 0 stored, 1 refused
 * or failed. Arguments and answers are JSON (see dezozevo/dezozevo.h); this
 * program only writes JSON strings and finds a few keys in the answers. */
#include <dezozevo/dezozevo.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

/* Appends `s` to `out` as a JSON string. `out` must hold 6 bytes per byte of `s` plus 3. */
static char* json_string(char* out, const char* s) {
    *out++ = '"';
    for (; *s; ++s) {
        unsigned char c = (unsigned char)*s;
        if (c == '"' || c == '\\') {
            *out++ = '\\';
            *out++ = (char)c;
        } else if (c < 0x20) {
            out += sprintf(out, "\\u%04x", c);
        } else {
            *out++ = (char)c;
        }
    }
    *out++ = '"';
    *out = '\0';
    return out;
}

/* The number after "key": in a JSON answer; -1 when it is not a number. */
static long number_of(const char* answer, const char* key) {
    char pattern[64];
    snprintf(pattern, sizeof pattern, "\"%s\":", key);
    const char* p = strstr(answer, pattern);
    if (!p) return -1;
    p += strlen(pattern);
    char* end;
    long n = strtol(p, &end, 10);
    return end == p ? -1 : n;
}

/* Calls `method` with one JSON object of arguments; returns its status and
 * prints the state's failure when the status is not 0. */
static long call(dz_tester* t, const char* method, const char* args) {
    char* answer = NULL;
    if (dz_invoke(t, method, args, &answer) != DZ_OK) {
        fprintf(stderr, "%s: %s\n", method, dz_last_error());
        return -1;
    }
    long status = number_of(answer, "result");
    if (status != 0) {
        char* state = NULL;
        if (dz_state(t, &state) == DZ_OK) {
            fprintf(stderr, "%s: status %ld; state %s\n", method, status, state);
            dz_free(state);
        }
    }
    dz_free(answer);
    return status;
}

static char* read_file(const char* path) {
    FILE* f = fopen(path, "rb");
    if (!f) return NULL;
    fseek(f, 0, SEEK_END);
    long n = ftell(f);
    fseek(f, 0, SEEK_SET);
    char* text = malloc((size_t)n + 1);
    if (text && fread(text, 1, (size_t)n, f) != (size_t)n) {
        free(text);
        text = NULL;
    }
    if (text) text[n] = '\0';
    fclose(f);
    return text;
}

int main(int argc, char** argv) {
    if (argc != 4 || strlen(argv[1]) > 100 || strlen(argv[2]) > 100) {
        fprintf(stderr, "usage: station_c STATION SERIAL RESULT.xml\n");
        return 2;
    }
    char* result = read_file(argv[3]);
    if (!result) {
        fprintf(stderr, "cannot read %s\n", argv[3]);
        return 2;
    }
    const size_t room = 6 * (strlen(result) + 1000);
    char* args = malloc(room);
    if (!args) return 1;

    dz_tester* t = NULL;
    if (dz_tester_create(&t) != DZ_OK) {
        fprintf(stderr, "%s\n", dz_last_error());
        return 1;
    }
    char* state = NULL;
    if (dz_state(t, &state) != DZ_OK) {
        fprintf(stderr, "%s\n", dz_last_error());
        dz_tester_release(t);
        free(args);
        return 1;
    }
    long startup = number_of(state, "startupStatus");
    printf("state %s\n", state);
    dz_free(state);

    int rc = 1;
    if (startup == 0) {
        /* May the unit be tested here now? Generation 10 asks the database
         * (CheckRoute); on 20 and later CheckRoute answers 0 without asking,
         * so dz_may_test reads the unit's status and next station from its
         * unit document. A unit on hold or due at another station is not
         * tested and no result is stored for it. */
        char* unit_info = NULL;
        int32_t status = -1;
        if (dz_may_test(t, argv[2], argv[1], &unit_info, &status) != DZ_OK) {
            fprintf(stderr, "dz_may_test: %s\n", dz_last_error());
        } else if (status != 0) {
            dz_state(t, &state);
            fprintf(stderr, "not cleared for test: status %d; state %s\n", (int)status, state);
            dz_free(state);
        } else {
            printf("unit %s: %zu bytes of unit data\n", argv[2], strlen(unit_info));
            /* ... the test runs here and writes its result document ... */
            char* p = args + sprintf(args, "{\"strXMLResultText\": ");
            p = json_string(p, result);
            strcpy(p, "}");
            if (call(t, "SaveResult", args) == 0) {
                dz_state(t, &state);
                long id = number_of(state, "testId"); /* null (-1 here) on generation 20 and later */
                if (id >= 0) printf("result stored, test ID %ld\n", id);
                else printf("result stored\n");
                dz_free(state);
                rc = 0;
            }
        }
        dz_free(unit_info);
    }
    dz_tester_release(t);
    free(args);
    free(result);
    return rc;
}
