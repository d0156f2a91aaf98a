/* The C interface of libDEZozevo.so, used from C as a station's program would. */
#define _GNU_SOURCE
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "dezozevo/dezozevo.h"

static int failures = 0;
static char home[256];

#define CHECK(cond) check((cond) != 0, __LINE__, #cond, NULL)
#define CHECK_STR(got, want) checkStr((got), (want), __LINE__)

static void check(int ok, int line, const char* what, const char* got) {
    if (ok) return;
    fprintf(stderr, "%s:%d: CHECK failed: %s%s%s\n", __FILE__, line, what, got ? "\n    got  " : "", got ? got : "");
    ++failures;
}

static void checkStr(const char* got, const char* want, int line) {
    check(got && strcmp(got, want) == 0, line, want, got ? got : "(null)");
}

/* The file's text (static buffer), or NULL when it cannot be read. */
static const char* readAll(const char* path) {
    static char buf[65536];
    FILE* f = fopen(path, "rb");
    if (!f) return NULL;
    buf[fread(buf, 1, sizeof buf - 1, f)] = 0;
    fclose(f);
    return buf;
}

static void writeAll(const char* path, const char* text) {
    FILE* f = fopen(path, "wb");
    if (!f || fputs(text, f) < 0 || fclose(f) != 0) {
        perror(path);
        exit(2);
    }
}

/* Calls and returns the answer (static buffer) or NULL; rc gets the status. */
static int rc;
static const char* call(dz_tester* t, const char* method, const char* args) {
    static char answer[4096];
    char* out = (char*)0x1;
    rc = dz_invoke(t, method, args, &out);
    if (rc != DZ_OK) {
        CHECK(out == NULL);
        return NULL;
    }
    snprintf(answer, sizeof answer, "%s", out);
    dz_free(out);
    return answer;
}

static void namedPositionalAndErrors(void) {
    dz_tester* t = NULL;
    CHECK(dz_tester_create(&t) == DZ_OK && t != NULL);

    CHECK_STR(call(t, "CalcErrCode", "{\"strMsg\": \"General network error\"}"),
              "{\"method\":\"CalcErrCode\",\"result\":9002,\"args\":{\"strMsg\":\"General network error\"}}");
    CHECK_STR(dz_last_error(), "");
    /* Positional; no result, and a number comes back as a number. */
    CHECK_STR(call(t, "putLog", "[\"hello from C\", \"1\"]"),
              "{\"method\":\"putLog\",\"result\":null,\"args\":{\"strMsg\":\"hello from C\",\"nLevel\":1}}");

    char* state = NULL; /* read by the command and by Python */
    CHECK(dz_state(NULL, &state) == DZ_E_INVALID_CALL && state == NULL);

    /* Sending the kept results now: the database is not reached (9001). */
    int32_t resent = -1;
    CHECK(dz_resend(t, &resent) == DZ_OK && resent == 9001);
    CHECK(dz_resend(t, NULL) == DZ_E_INVALID_CALL && dz_resend(NULL, &resent) == DZ_E_INVALID_CALL);

    /* Wrong input: a status, a description, no answer. */
    CHECK(call(t, "NoSuchMethod", NULL) == NULL && rc == DZ_E_UNKNOWN_METHOD);
    CHECK(strstr(dz_last_error(), "NoSuchMethod") != NULL);
    CHECK(call(t, "CalcErrCode", "{\"strMessage\": \"x\"}") == NULL && rc == DZ_E_UNKNOWN_ARGUMENT);
    CHECK(call(t, "CalcErrCode", "{\"strMsg\": ") == NULL && rc == DZ_E_BAD_ARGUMENT);
    CHECK(strstr(dz_last_error(), "not valid JSON") != NULL);
    CHECK(call(t, NULL, NULL) == NULL && rc == DZ_E_INVALID_CALL);

    CHECK(call(t, "GetLastError", NULL) != NULL);
    CHECK_STR(dz_last_error(), ""); /* cleared by the next good call */

    CHECK(dz_tester_release(t) == DZ_OK);
    CHECK(dz_tester_release(t) == DZ_E_INVALID_CALL); /* twice */
    CHECK(dz_tester_release(NULL) == DZ_OK);
}

struct Foreign {
    dz_tester* t;
    int invokeRc, typedRc, releaseRc, errorNamesThread;
};

static void* fromAnotherThread(void* p) {
    struct Foreign* f = (struct Foreign*)p;
    char* out = NULL;
    f->invokeRc = dz_invoke(f->t, "putLog", "{\"strMsg\": \"from another thread\", \"nLevel\": 1}", &out);
    int32_t status = -1;
    f->typedRc = dz_CheckRoute(f->t, "SN", "ST", &status);
    f->errorNamesThread = strstr(dz_last_error(), "thread") != NULL;
    f->releaseRc = dz_tester_release(f->t);
    return NULL;
}

struct Lines {
    char text[512];
    int count, lastLevel, nestedRc;
};

static void collect(int level, const char* line, void* context) {
    struct Lines* l = (struct Lines*)context;
    strncat(l->text, line, sizeof l->text - strlen(l->text) - 2);
    strcat(l->text, "|");
    l->count++;
    l->lastLevel = level;
    l->nestedRc = dz_set_log_handler(NULL, NULL);
}

/* The handler gets what the log file gets ([LOG] LEVEL=1 here), until removed.
 * A Tester serves only the thread that made it: another thread's calls fail and log nothing. */
static void logHandlerAndThreads(void) {
    struct Lines l = {"", 0, 0, -1};
    struct Foreign f = {NULL, -1, -1, -1, 0};
    CHECK(dz_tester_create(&f.t) == DZ_OK);
    CHECK(dz_set_log_handler(collect, &l) == DZ_OK);
    pthread_t th;
    pthread_create(&th, NULL, fromAnotherThread, &f);
    pthread_join(th, NULL);
    CHECK(f.invokeRc == DZ_E_WRONG_THREAD && f.typedRc == DZ_E_WRONG_THREAD);
    CHECK(f.errorNamesThread);
    CHECK(f.releaseRc == DZ_E_WRONG_THREAD);
    CHECK_STR(dz_last_error(), ""); /* the other thread's error is its own */

    CHECK(call(f.t, "putLog", "[\"to the handler\", 1]") && call(f.t, "putLog", "[\"detail\", 2]"));
    CHECK_STR(l.text, "to the handler|"); /* and nothing from the other thread */
    CHECK(l.lastLevel == 1 && l.nestedRc == DZ_E_INVALID_CALL);
    CHECK(dz_set_log_handler(NULL, NULL) == DZ_OK);
    CHECK(call(f.t, "putLog", "[\"after removal\", 1]") && l.count == 1);
    CHECK(dz_tester_release(f.t) == DZ_OK);
}

static void classFactory(void) {
    void* p = NULL;
    CHECK(DllCanUnloadNow() == DZ_S_OK);
    CHECK(DllGetClassObject("Other.Class", NULL, &p) == DZ_HR_CLASS_E_CLASSNOTAVAILABLE && p == NULL);
    CHECK(DllGetClassObject(DZ_PROGID_TESTER, "IUnknownOther", &p) == DZ_HR_E_NOINTERFACE && p == NULL);
    /* By class id (any case) or by name; a factory, a Tester or a lock keeps the library loaded. */
    CHECK(DllGetClassObject("{fd2653bd-d7e7-4775-bb6e-49c2bd7db46f}", DZ_IID_CLASSFACTORY, &p) == DZ_S_OK && p);
    dz_class_factory* f = (dz_class_factory*)p;
    CHECK(DllCanUnloadNow() == DZ_S_FALSE && f->Release(f) == 0);
    CHECK(DllGetClassObject("dezozevo.tester", "IClassFactory", &p) == DZ_S_OK);
    f = (dz_class_factory*)p;
    dz_tester* t = NULL;
    CHECK(f->CreateInstance(f, &t) == DZ_S_OK && t);
    CHECK(f->LockServer(f, 1) == DZ_S_OK && f->Release(f) == 0);
    CHECK(call(t, "CalcErrCode", "[\"Timeout expired\"]") != NULL);
    CHECK(dz_tester_release(t) == DZ_OK && DllCanUnloadNow() == DZ_S_FALSE);
    CHECK(f->LockServer(f, 0) == DZ_S_OK && DllCanUnloadNow() == DZ_S_OK);
}

static void registration(void) {
    char classes[300], file[400];
    snprintf(classes, sizeof classes, "%s/classes/sub", home);
    setenv("DEZOZEVO_CLASSES", classes, 1);
    snprintf(file, sizeof file, "%s/DEZozevo.Tester", classes);

    CHECK(DllRegisterServer() == DZ_S_OK);
    const char* reg = readAll(file);
    const char* head = "[DEZozevo.Tester]\nCLSID=" DZ_CLSID_TESTER "\nLibrary=/";
    CHECK(reg && strncmp(reg, head, strlen(head)) == 0);
    CHECK(reg && strstr(reg, "/libDEZozevo.so.") != NULL && strstr(reg, "\nThreadingModel=Apartment\n") != NULL);
    CHECK(DllUnregisterServer() == DZ_S_OK);
    CHECK(access(file, F_OK) != 0);

    /* Another copy's registration is left alone. */
    writeAll(file, "[DEZozevo.Tester]\nLibrary=/opt/elsewhere/libDEZozevo.so\n");
    CHECK(DllUnregisterServer() == DZ_S_FALSE);
    CHECK(strstr(dz_last_error(), "/opt/elsewhere") != NULL);
    CHECK(access(file, F_OK) == 0);
    unsetenv("DEZOZEVO_CLASSES");
}

/* A text from the library: compared, then released. */
static void checkOut(char* got, const char* want, int line) {
    check(got && strstr(got, want) != NULL, line, want, got ? got : "(null)");
    dz_free(got);
}
#define CHECK_OUT(got, want) checkOut((got), (want), __LINE__)

/* The typed functions, one of each kind of parameter, against the simulator's sample plant, generation 10. */
static void typedFunctions(const char* sim, const char* site) {
    char plant[300], cmd[1200], pattern[400];
    snprintf(plant, sizeof plant, "%s/plant", home);
    snprintf(cmd, sizeof cmd, "mkdir '%s' && cp '%s'/* '%s'/ && '%s' init '%s/plant.db' --generation 10 --sample >/dev/null",
             plant, site, plant, sim, plant);
    if (system(cmd) != 0) {
        fprintf(stderr, "cannot lay out %s\n", plant);
        ++failures;
        return;
    }
    setenv("DEZOZEVO_HOME", plant, 1);
    dz_tester* t = NULL;
    CHECK(dz_tester_create(&t) == DZ_OK);
    const char* request = "<GetUnitInfo xmlns=\"urn:GetUnitInfo-schema\" SerialNumber=\"SN24001-0003\"/>";
    int32_t st = -1;
    char* out = NULL;
    char* in;

    CHECK(dz_CheckRoute(t, "SN24001-0006", "FCT-01", &st) == DZ_OK && st == 3);

    /* By-reference texts: the caller's text in (never freed: a literal here), a new text out. */
    in = out = "OLD";
    CHECK(dz_GetUnitInfo(t, request, &out, NULL, NULL, &st) == DZ_OK && st == 0 && out != in);
    CHECK_OUT(out, "OLD<UNITINFO>");
    CHECK(dz_GetUnitInfo(t, request, NULL, "", NULL, &st) == DZ_OK && st == 0); /* an out may be left out */
    out = NULL;
    CHECK(dz_GetModelAttributes(t, &out, "ASM-5000", "C", &st) == DZ_OK && st == 0);
    CHECK_OUT(out, "<MODELATTR PARTNUMBER=\"ASM-5000\" REVISION=\"C\">");
    CHECK(dz_GetErrMessage(t, 4, &out) == DZ_OK); /* generation 10: no texts */
    CHECK_OUT(out, "");

    char path[400];
    snprintf(path, sizeof path, "%s/SampleResult.xml", plant);
    const char* result = readAll(path);
    CHECK(result && dz_SaveResult(t, result, &st) == DZ_OK && st == 0);
    CHECK(dz_SaveResult(t, NULL, &st) == DZ_OK && st == 9999); /* the Null variant: "Invalid use of Null" */

    CHECK(dz_getStation(t, &out) == DZ_OK);
    CHECK_OUT(out, "FCT-01");
    int32_t exists = -1;
    snprintf(pattern, sizeof pattern, "%s/Get*.xsd", plant);
    in = out = pattern;
    CHECK(dz_FileExists(t, &out, &exists) == DZ_OK && exists == 1 && out != in);
    CHECK_OUT(out, pattern);
    in = out = "/no-such-folder-dz/*/x";
    CHECK(dz_FileExists(t, &out, &exists) == DZ_E_FAILED && out == in && exists == 1); /* nothing written */
    CHECK(strstr(dz_last_error(), "/no-such-folder-dz") != NULL);
    uint8_t level = 1;
    out = "typed hello";
    CHECK(dz_putLog(t, &out, &level) == DZ_OK && level == 1);
    CHECK_OUT(out, "typed hello");

    /* Required pointers, a dead Tester. */
    CHECK(dz_CheckRoute(t, "SN", "ST", NULL) == DZ_E_INVALID_CALL && strstr(dz_last_error(), "dz_CheckRoute"));
    CHECK(dz_putLog(t, NULL, &level) == DZ_E_INVALID_CALL && strstr(dz_last_error(), "strMsg"));
    CHECK(dz_getStation(NULL, &out) == DZ_E_INVALID_CALL);

    /* May this unit be tested here (the INI's station): the unit document. */
    out = NULL;
    CHECK(dz_may_test(t, "SN24001-0004", NULL, &out, &st) == DZ_OK && st == 0);
    CHECK_OUT(out, "SN24001-0004");
    CHECK(dz_may_test(t, "SN24001-0004", NULL, NULL, NULL) == DZ_E_INVALID_CALL);

    CHECK(dz_tester_release(t) == DZ_OK);
    CHECK(dz_CheckRoute(t, "SN", "ST", &st) == DZ_E_INVALID_CALL);
    setenv("DEZOZEVO_HOME", home, 1);
}

int main(int argc, char** argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: cabi_main DEZOZEVO_SIM SITE_FOLDER\n");
        return 2;
    }
    snprintf(home, sizeof home, "%s/dzcabi-XXXXXX", getenv("TMPDIR") ? getenv("TMPDIR") : "/tmp");
    if (!mkdtemp(home)) {
        perror("mkdtemp");
        return 2;
    }
    char ini[300];
    snprintf(ini, sizeof ini, "%s/DEZozevo.ini", home);
    /* A database that no driver serves: start-up fails at once and the
     * methods give their fixed answers. */
    writeAll(ini, "[DATABASE]\nSERVER=script:none\n[STATION]\nSTATION=ST9\n[LOG]\nLEVEL=1\n");
    setenv("DEZOZEVO_HOME", home, 1);

    namedPositionalAndErrors();
    logHandlerAndThreads();
    classFactory();
    registration();
    typedFunctions(argv[1], argv[2]);

    char cmd[400];
    snprintf(cmd, sizeof cmd, "rm -rf '%s'", home);
    if (system(cmd) != 0) fprintf(stderr, "could not remove %s\n", home);
    if (failures) fprintf(stderr, "%d check(s) failed\n", failures);
    else printf("C interface: all checks passed\n");
    return failures ? 1 : 0;
}
