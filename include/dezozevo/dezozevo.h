/*
 * dezozevo/dezozevo.h - the C interface of libDEZozevo.so.
 *
 * For test programs in C, Python (ctypes), LabVIEW, C# (P/Invoke) and any
 * other language that can call C functions. All texts are UTF-8, NUL-ended.
 *
 * Objects and threads
 *   A Tester is bound to the thread that created it: call it and release it
 *   on that thread only. A call or a release from another thread is refused
 *   with DZ_E_WRONG_THREAD and does nothing. Testers of one thread share that
 *   thread's settings (the last creation on a thread reloads DEZozevo.ini for
 *   all of them). LabVIEW: configure the Call Library Function nodes to run
 *   in the UI thread.
 *
 * Calling a method by name
 *     dz_tester* t;
 *     char* out;
 *     dz_tester_create(&t);
 *     if (dz_invoke(t, "CalcErrCode", "{\"strMsg\": \"General network error\"}", &out) == DZ_OK) {
 *         puts(out);   // {"method":"CalcErrCode","result":9002,"args":{"strMsg":"General network error"}}
 *         dz_free(out);
 *     } else {
 *         puts(dz_last_error());
 *     }
 *     dz_tester_release(t);
 *
 *   Arguments are a JSON object of named arguments ({"strMsg": "..."}), or a
 *   JSON array of positional ones in the method's order, or NULL / "" for
 *   none. Method and argument names match without regard to case. A value is a
 *   JSON string, number, boolean or null (null is the variant Null, e.g. for
 *   SaveResult); it is converted to the argument's type ("5" and 5 both serve
 *   a number argument, 5 serves a text argument as "5"). An optional argument
 *   that is left out is the empty text; so is an output (a by-reference
 *   argument such as strUnitInfo) that is left out.
 *
 *   The answer is one JSON object:
 *     {"method": NAME, "result": VALUE, "args": {NAME: VALUE, ...}}
 *   "method" is the method's own spelling; "result" is a number, a string, a
 *   boolean, or null for a method without result (putLog); "args" holds every
 *   by-reference argument, passed or not, in the method's order, as the
 *   method left it (by-value arguments are not sent back). Text that is not
 *   valid UTF-8 is returned with U+FFFD in place of the bad bytes.
 *
 *   dz_methods() describes every method as JSON:
 *     [{"name": "GetUnitInfo", "result": "int32", "business": true,
 *       "args": [{"name": "strRequest", "type": "text", "byRef": false, "optional": false}, ...]}, ...]
 *   Types: "text", "int32", "uint8", "variant"; results also "boolean", "none".
 *   "business": the result is a status that dz_state's lastFailure follows.
 *
 * Errors
 *   Every dz_* function returns DZ_OK (0) or one of the DZ_E_* codes below and
 *   never lets a failure escape as a crash. dz_last_error() gives the
 *   description of the last failed call of the calling thread.
 *
 * Memory
 *   Texts handed out through a char** belong to the caller: release them with
 *   dz_free(). Texts returned as const char* belong to the library.
 *
 * Component object entry points
 *   DllRegisterServer, DllUnregisterServer, DllGetClassObject and
 *   DllCanUnloadNow exist for hosts that load components by class name. On
 *   Linux there is no system registry; their behaviour is described at each
 *   function. They return HRESULT-style codes (DZ_S_OK, DZ_S_FALSE, DZ_HR_*).
 */
#ifndef DEZOZEVO_H
#define DEZOZEVO_H

#include <stdint.h>

#if defined(__GNUC__) || defined(__clang__)
#define DZ_API __attribute__((visibility("default")))
#else
#define DZ_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---- status codes of the dz_* functions ------------------------------- */
#define DZ_OK 0
#define DZ_E_UNKNOWN_METHOD 1   /* no method of that name */
#define DZ_E_UNKNOWN_ARGUMENT 2 /* the method has no argument of that name */
#define DZ_E_BAD_ARGUMENT 3     /* args not JSON, a required argument missing, one given twice,
                                   too many, or a value that does not convert */
#define DZ_E_INVALID_CALL 4     /* a NULL pointer, or a Tester that is not alive */
#define DZ_E_WRONG_THREAD 5     /* the Tester belongs to another thread; nothing was done */
#define DZ_E_FAILED 6           /* the method ran and failed towards its caller (FileExists,
                                   GetErrMessage); dz_last_error() has the failure's description */
#define DZ_E_INTERNAL 7         /* out of memory or another unexpected failure */

typedef struct dz_tester dz_tester;

/* Creates a Tester on the calling thread: reads DEZozevo.ini from the
 * component folder ($DEZOZEVO_HOME when set, else the folder of this
 * library), detects the server and resolves the station's connection.
 * Creation succeeds also when the database cannot be reached (the methods
 * then answer with their failure statuses). */
DZ_API int dz_tester_create(dz_tester** tester);

/* Releases a Tester. NULL is accepted and does nothing. */
DZ_API int dz_tester_release(dz_tester* tester);

/* Calls `method` with `args_json` (see above). On DZ_OK, *result_json is the
 * answer, to be released with dz_free(); on any error it is set to NULL. */
DZ_API int dz_invoke(dz_tester* tester, const char* method, const char* args_json, char** result_json);

/* The description of every method as JSON (see above); release with dz_free(). */
DZ_API int dz_methods(char** methods_json);

/* The description of the last failed dz_* or Dll* call of the calling thread;
 * "" after a successful call. Valid until the thread's next call into the
 * library; never NULL. */
DZ_API const char* dz_last_error(void);

/* Releases a text handed out by the library. NULL is accepted. */
DZ_API void dz_free(char* text);

/* ---- the component's own state ------------------------------------------ */

/* The Tester's state beside its eighteen methods, as one JSON object; release
 * it with dz_free(). Keys, always all present:
 *   "startupStatus"  int    0: start-up reached the database and resolved the
 *                           station's connection ("CLASS INIT OK"); else the
 *                           resolution's code (10, 20, 30; 100 when no server
 *                           generation was detected, i.e. the master database
 *                           could not be reached or read)
 *   "generation"     int    server generation in use: 10, 20, or 0 for none
 *   "revision"       int    schema revision (the last digit of 10, 20, 22, 23, 24)
 *   "schema"         int    generation + revision (10, 20, 22, 23, 24; 0 none)
 *   "server"         text   Data Source of the connection in use: the station's
 *                           resolved connection, else the master's from the INI
 *   "database"       text   Initial Catalog of that connection
 *   "station"        text   the INI station (STATION / STATION)
 *   "folder"         text   the component folder
 *   "iniFile"        text   path of DEZozevo.ini in that folder
 *   "iniFound"       bool   whether that file exists
 *   "lastFailure"    null, or {"status": int, "description": text,
 *                           "diagnostics": [{"sqlstate": text, "native": int,
 *                           "message": text}]}: the last non-zero status a
 *                           business method (or start-up) returned through
 *                           this Tester, with the failure lines (log level 1)
 *                           it wrote during that call, one per line of text
 *                           ("" when it logged none), and the database
 *                           client's own records of the failures behind it
 *                           (empty when there were none): they tell a server
 *                           not found from a refused login behind a 9001
 *   "testId"         null, or int: the ID the database gave the result that
 *                           the last SaveResult stored (generation 10); null
 *                           when that call stored none or the database gives
 *                           no ID (generation 20 and later)
 * Example:
 *   {"startupStatus":0,"generation":10,"revision":0,"schema":10,
 *    "server":"sim:mes.db","database":"TWMES","station":"FCT-01",
 *    "folder":"/opt/station","iniFile":"/opt/station/DEZozevo.ini","iniFound":true,
 *    "lastFailure":{"status":5,"description":"CheckRoute10 returned value=5","diagnostics":[]},
 *    "testId":4711,
 *    "queue":{"path":"/var/lib/dezozevo/DEZozevo_Resend.xml","kept":0,"oldestSeconds":null,"rejected":0}}
 *   "queue"          the resend queue: "path" its file, "kept" the results
 *                           kept for resend, "oldestSeconds" the age of the
 *                           oldest (null when none), "rejected" the results
 *                           set aside after the database refused them
 * Later versions may add keys; readers ignore the ones they do not know. */
DZ_API int dz_state(dz_tester* tester, char** state_json);

/* Sends the kept results now, oldest first (for the end of a shift), waiting
 * for another process's replay to end. *status is what the unit query's
 * resend step gives: 0 when every kept result was stored or set aside,
 * 9001-9003 when the database is out of reach (they stay kept), 9997 when the
 * queue cannot be read or a stored result cannot be removed. Noted in the
 * state like a business method. */
DZ_API int dz_resend(dz_tester* tester, int32_t* status);

/* ---- the methods as typed C functions ----------------------------------- */
/*
 * One function per method, beside dz_invoke: dz_<method>(tester, the method's
 * arguments in its order, the result). These declarations are written out
 * here; the library is built from its one list of methods and checks each
 * against it (a missing or different declaration does not build).
 *   - A text argument is a const char* (UTF-8); NULL is the empty text.
 *   - A by-reference text is a char**. In: *p is the caller's current text
 *     (NULL: the empty text); the library reads it and never frees it. Out,
 *     on DZ_OK only: *p is a new text, to be released with dz_free(). Keep
 *     your own pointer to a text you passed in if it needs freeing. An
 *     argument marked "out" (the method only writes it) may itself be NULL:
 *     it starts as the empty text and nothing is handed back. One marked
 *     "in/out" is required.
 *   - The method's status (or its text, boolean or number) comes through the
 *     last pointer, required, and is written on DZ_OK only; a text result is
 *     a new text for dz_free(), a boolean is 0 or 1.
 *   - The return value is the function's own code: DZ_OK; DZ_E_INVALID_CALL
 *     for a NULL Tester or required pointer, or a Tester that is not alive;
 *     DZ_E_WRONG_THREAD (nothing done); DZ_E_FAILED when the method failed
 *     towards its caller (GetErrMessage, FileExists; dz_last_error() says
 *     why); DZ_E_INTERNAL.
 * A business method's non-zero status is noted in the state (dz_state's
 * "lastFailure"), as with dz_invoke.
 *
 *     int32_t status;
 *     char* info = NULL;
 *     if (dz_GetUnitInfo(t, "<GetUnitInfo xmlns=\"urn:GetUnitInfo-schema\" SerialNumber=\"SN1\"/>",
 *                        &info, NULL, NULL, &status) == DZ_OK && status == 0)
 *         puts(info);
 *     dz_free(info);
 */

/* May the unit be tested at the station now: generation 10 asks the database;
 * 20 and later answer 0 without asking (the unit document says: dz_may_test). */
DZ_API int dz_CheckRoute(dz_tester* tester, const char* strUnitSN, const char* strStation, int32_t* status);

/* The unit document of the unit named by strRequest's SerialNumber. out
 * strUnitInfo (generation 10 appends to the text passed in); strStationName
 * (NULL or "": the INI station) resolves that station's database first;
 * strUserID is sent on schemas 22 to 24. */
DZ_API int dz_GetUnitInfo(dz_tester* tester, const char* strRequest, char** strUnitInfo, const char* strStationName,
                          const char* strUserID, int32_t* status);

/* The calibration data of a station (NULL: the INI station) and fixture;
 * out strCalibrationInfo. Generation 10; 20 and later answer 0. */
DZ_API int dz_GetCalibrationInfo(dz_tester* tester, char** strCalibrationInfo, const char* strStationName,
                                 const char* strFixture, int32_t* status);

/* Stores calibration data (the form GetCalibrationInfo gives). Generation 10. */
DZ_API int dz_SaveCalibration(dz_tester* tester, const char* strCalibration, int32_t* status);

/* The current work order of a station (NULL: the INI station); out strWorkOrderInfo. */
DZ_API int dz_GetOrderInfo(dz_tester* tester, char** strWorkOrderInfo, const char* strStationName, int32_t* status);

/* Every work order of a station (NULL: the INI station); out strWorkOrderInfo. */
DZ_API int dz_GetOrderInfoByStation(dz_tester* tester, char** strWorkOrderInfo, const char* strStationName,
                                    int32_t* status);

/* The attributes of a part number and revision; out strModelInfo (it comes first, as in the interface). */
DZ_API int dz_GetModelAttributes(dz_tester* tester, char** strModelInfo, const char* strPartNumber,
                                 const char* strPartRev, int32_t* status);

/* The unit's attributes; out strUnitInfo. Generation 10; 20 and later answer 0. */
DZ_API int dz_GetUnitAttributes(dz_tester* tester, const char* strRequest, char** strUnitInfo,
                                const char* strStationName, int32_t* status);

/* The message text of a status (schemas 23 and 24; else ""); *message is a
 * new text. DZ_E_FAILED when the database fails. */
DZ_API int dz_GetErrMessage(dz_tester* tester, int32_t nErrCode, char** message);

/* Validates, transforms and stores the tester's result document. NULL passes
 * the Null variant, as null does in dz_invoke (answered 9999). */
DZ_API int dz_SaveResult(dz_tester* tester, const char* strXMLResultText, int32_t* status);

/* The interface's last-error text; *text is a new text. */
DZ_API int dz_GetLastError(dz_tester* tester, char** text);

/* The value of a key in an INI file (strIniFile: its path), or
 * strDefaultValue; *value is a new text. */
DZ_API int dz_GetProfileItem(dz_tester* tester, const char* strSectionName, const char* strKeyName,
                             const char* strDefaultValue, const char* strIniFile, char** value);

/* The INI station; *station is a new text. */
DZ_API int dz_getStation(dz_tester* tester, char** station);

/* Whether a file matching in/out Fname (wildcards allowed) exists: *exists 0
 * or 1. DZ_E_FAILED when its folder cannot be listed. */
DZ_API int dz_FileExists(dz_tester* tester, char** Fname, int32_t* exists);

/* Writes in/out strMsg to the day's log at in/out *nLevel (1 failures, 2
 * details), as the INI's [LOG] LEVEL lets it. */
DZ_API int dz_putLog(dz_tester* tester, char** strMsg, uint8_t* nLevel);

/* Classifies a failure's description, in/out strMsg: *code 9001 access
 * denied, 9002 network error, 9003 time-out, else 9999. */
DZ_API int dz_CalcErrCode(dz_tester* tester, char** strMsg, int32_t* code);

/* The product structure of xmlPart (passed to the site's procedure unread);
 * out xmlProductStructure, out ErrorDescription. */
DZ_API int dz_GetProductStructure(dz_tester* tester, const char* xmlPart, char** xmlProductStructure,
                                  char** ErrorDescription, int32_t* status);

/* Runs the site procedure that GENERICFUNCTIONSMAPPING names for
 * FunctionName (NULL or "": SPToGenericFunction) with xmlIn; out xmlOut,
 * out ErrorDescription. */
DZ_API int dz_GetGenericFunction(dz_tester* tester, const char* xmlIn, char** xmlOut, char** ErrorDescription,
                                 const char* FunctionName, int32_t* status);

/* ---- may this unit be tested here -------------------------------------- */

/* Whether the unit `strUnitSN` may be tested at `strStation` (NULL or "": the
 * INI station) now, on every server generation. On DZ_OK, *status is 0 when
 * it may, else the refusal's status (its reason is the state's lastFailure),
 * and *strUnitInfo (when strUnitInfo is not NULL) the unit document, to be
 * released with dz_free(). *status is set only on DZ_OK.
 *   Generation 10: CheckRoute asks the database; then GetUnitInfo.
 *   Generation 20 and later (CheckRoute answers 0 there without asking):
 *   GetUnitInfo, then the unit check reads the unit's status and next station
 *   from the document. The check is the style sheet UnitCheck.xsl in the
 *   component folder when the site puts one there, else the built-in one for
 *   the sample site's document (the items Status, which must be ACTIVE, and
 *   NextStation, a comma-separated list that must name the station, any
 *   case): 3 due at another station, 4 on hold, 5 scrapped, 6 route completed,
 *   9999 when the document names no Status or NextStation. A site's
 *   UnitCheck.xsl receives <UnitCheck Station="STATION">UNIT DOCUMENT</UnitCheck>
 *   and writes text: the status, then optionally a blank and the reason.
 * The request sent is <GetUnitInfo xmlns="urn:GetUnitInfo-schema"
 * SerialNumber="..."/>; a non-empty strStation is also GetUnitInfo's
 * strStationName (its database is resolved first). */
DZ_API int dz_may_test(dz_tester* tester, const char* strUnitSN, const char* strStation, char** strUnitInfo,
                       int32_t* status);

/* ---- the log ------------------------------------------------------------ */

/* Receives each line the component writes to its daily log (those that the
 * INI's [LOG] LEVEL lets through): the line's level (1 failures and the
 * start-up outcome, 2 details, or what putLog was given) and its text without
 * the date and time, UTF-8. Called on the thread that logs, while the
 * component waits; `line` is valid during the call only. */
typedef void (*dz_log_handler)(int level, const char* line, void* context);

/* Sets the process's log handler, replacing an earlier one; NULL removes it.
 * `context` is handed to each call. When this returns, no call of the
 * previous handler is in progress on any thread, so its context may be freed.
 * Lines the handler causes itself are not handed to it again. Refused with
 * DZ_E_INVALID_CALL from inside the handler. */
DZ_API int dz_set_log_handler(dz_log_handler handler, void* context);

/* ---- component object entry points -------------------------------------- */

#define DZ_S_OK 0
#define DZ_S_FALSE 1
#define DZ_HR_E_NOINTERFACE ((int32_t)0x80004002)
#define DZ_HR_E_POINTER ((int32_t)0x80004003)
#define DZ_HR_E_FAIL ((int32_t)0x80004005)
#define DZ_HR_E_OUTOFMEMORY ((int32_t)0x8007000E)
#define DZ_HR_CLASS_E_CLASSNOTAVAILABLE ((int32_t)0x80040111)
#define DZ_HR_SELFREG_E_CLASS ((int32_t)0x80040201)

/* The class: programmatic identifier and class identifier. */
#define DZ_PROGID_TESTER "DEZozevo.Tester"
#define DZ_CLSID_TESTER "{FD2653BD-D7E7-4775-BB6E-49C2BD7DB46F}"
/* The one interface DllGetClassObject hands out. */
#define DZ_IID_CLASSFACTORY "{00000001-0000-0000-C000-000000000046}"

/* The class factory of DEZozevo.Tester. AddRef and Release return the new
 * reference count; CreateInstance creates a Tester on the calling thread
 * exactly as dz_tester_create does (release it with dz_tester_release);
 * LockServer(self, nonzero) keeps the library in use until a matching
 * LockServer(self, 0). */
typedef struct dz_class_factory dz_class_factory;
struct dz_class_factory {
    uint32_t (*AddRef)(dz_class_factory* self);
    uint32_t (*Release)(dz_class_factory* self);
    int32_t (*CreateInstance)(dz_class_factory* self, dz_tester** tester);
    int32_t (*LockServer)(dz_class_factory* self, int32_t lock);
};

/* Registers the class: writes the registration file
 *     $DEZOZEVO_CLASSES/DEZozevo.Tester            when DEZOZEVO_CLASSES is set,
 *     $XDG_DATA_HOME/dezozevo/classes/DEZozevo.Tester   else, when XDG_DATA_HOME is set,
 *     $HOME/.local/share/dezozevo/classes/DEZozevo.Tester   otherwise
 * creating its folder, replacing an earlier registration whole. The file is an
 * INI file:
 *     [DEZozevo.Tester]
 *     CLSID={FD2653BD-D7E7-4775-BB6E-49C2BD7DB46F}
 *     Library=<absolute path of this library>
 *     ThreadingModel=Apartment
 * A host finds the library there, loads it and calls DllGetClassObject.
 * Returns DZ_S_OK, or DZ_HR_SELFREG_E_CLASS when the file cannot be written. */
DZ_API int32_t DllRegisterServer(void);

/* Removes the registration file when it names this library. A registration
 * of another copy of the library is left alone (DZ_S_FALSE); no registration
 * at all is DZ_S_OK. DZ_HR_SELFREG_E_CLASS when the file cannot be removed. */
DZ_API int32_t DllUnregisterServer(void);

/* Hands out the class factory of `clsid` ("DEZozevo.Tester" or
 * DZ_CLSID_TESTER, any case) for interface `iid` (NULL, "IClassFactory" or
 * DZ_IID_CLASSFACTORY) in *factory, with one reference that the caller
 * releases with factory->Release. DZ_HR_CLASS_E_CLASSNOTAVAILABLE for another
 * class, DZ_HR_E_NOINTERFACE for another interface, DZ_HR_E_POINTER for a
 * NULL `factory`. */
DZ_API int32_t DllGetClassObject(const char* clsid, const char* iid, void** factory);

/* DZ_S_OK when no Tester created through this interface is alive, no class
 * factory reference is held and the server is not locked; DZ_S_FALSE
 * otherwise. */
DZ_API int32_t DllCanUnloadNow(void);

#ifdef __cplusplus
}
#endif

#endif /* DEZOZEVO_H */
