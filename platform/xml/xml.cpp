// XML services over libxml2 and libxslt.
//
// libxml2 keeps its error handlers per thread: every call that parses,
// validates, evaluates or transforms installs a collector for its own
// duration and restores the previous handlers afterwards, so nothing is
// printed and concurrent threads never see each other's messages. libxslt's
// generic error handler is a process global; it is set once to a dispatcher
// that forwards to the calling thread's collector.
#include "platform/xml/xml.h"

#include <libxml/parser.h>
#include <libxml/parserInternals.h>
#include <libxml/tree.h>
#include <libxml/xmlerror.h>
#include <libxml/xmlsave.h>
#include <libxml/schemasInternals.h>
#include <libxml/xmlschemas.h>
#include <libxml/xpath.h>
#include <libxml/xpathInternals.h>
#include <libxslt/extensions.h>
#include <libxslt/extra.h>
#include <libxslt/imports.h>
#include <libxslt/security.h>
#include <libxslt/transform.h>
#include <libxslt/xslt.h>
#include <libxslt/xsltInternals.h>
#include <libxslt/xsltutils.h>

#include <fcntl.h>
#include <libxml/uri.h>
#include <malloc.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>

namespace dz::xml {

namespace {

constexpr const char* kMsXsltNamespace = "urn:schemas-microsoft-com:xslt";
constexpr const char* kScriptRefused =
    "the style sheet contains a script block (msxsl:script); script blocks are not supported by this "
    "library";

// ---------------------------------------------------------------------------
// Message collection

struct Message {
    int code = 0;
    int level = XML_ERR_ERROR;
    int line = 0;
    std::string text;
};

std::string trimmed(std::string_view s) {
    size_t b = 0, e = s.size();
    while (b < e && (s[b] == ' ' || s[b] == '\t' || s[b] == '\r' || s[b] == '\n')) ++b;
    while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t' || s[e - 1] == '\r' || s[e - 1] == '\n')) --e;
    return std::string(s.substr(b, e - b));
}

// Everything libxml2 and libxslt report during one call.
struct Messages {
    std::vector<Message> list;
    std::string pending;  // unstructured text up to its line end

    void addStructured(const xmlError* err) {
        if (err == nullptr) return;
        Message m;
        m.code = err->code;
        m.level = err->level;
        m.line = err->line;
        m.text = trimmed(err->message ? err->message : "");
        if (m.text.empty()) m.text = "error " + std::to_string(err->code);
        list.push_back(std::move(m));
    }
    void addText(std::string_view text) {
        pending.append(text);
        size_t nl;
        while ((nl = pending.find('\n')) != std::string::npos) {
            pushLine(pending.substr(0, nl));
            pending.erase(0, nl + 1);
        }
    }
    void addNote(int code, int level, std::string text) {
        Message m;
        m.code = code;
        m.level = level;
        m.text = std::move(text);
        list.push_back(std::move(m));
    }
    void flush() {
        if (!pending.empty()) pushLine(pending);
        pending.clear();
    }
    const Message* firstError() {
        flush();
        for (const Message& m : list)
            if (m.level >= XML_ERR_ERROR) return &m;
        return nullptr;
    }
    // All errors as one text: "line N: message; message; ...".
    std::string joined() {
        flush();
        std::string out;
        std::vector<std::string> seen;
        for (const Message& m : list) {
            if (m.level < XML_ERR_ERROR) continue;
            std::string t = format(m);
            bool dup = false;
            for (const auto& s : seen) dup = dup || s == t;
            if (dup) continue;
            seen.push_back(t);
            if (!out.empty()) out += "; ";
            out += t;
        }
        return out;
    }
    static std::string format(const Message& m) {
        if (m.line > 0) return "line " + std::to_string(m.line) + ": " + m.text;
        return m.text;
    }

private:
    void pushLine(const std::string& line) {
        std::string t = trimmed(line);
        if (!t.empty()) addNote(0, XML_ERR_ERROR, std::move(t));
    }
};

thread_local Messages* currentMessages = nullptr;

void structuredHandler(void* ctx, xmlErrorPtr err) {
    if (ctx != nullptr) static_cast<Messages*>(ctx)->addStructured(err);
}

std::string vformat(const char* fmt, va_list args) {
    char buf[1024];
    va_list copy;
    va_copy(copy, args);
    int n = std::vsnprintf(buf, sizeof buf, fmt, copy);
    va_end(copy);
    if (n < 0) return {};
    if (static_cast<size_t>(n) < sizeof buf) return std::string(buf, static_cast<size_t>(n));
    std::string big(static_cast<size_t>(n) + 1, '\0');
    std::vsnprintf(big.data(), big.size(), fmt, args);
    big.resize(static_cast<size_t>(n));
    return big;
}

void genericHandler(void* ctx, const char* fmt, ...) {
    if (ctx == nullptr || fmt == nullptr) return;
    va_list args;
    va_start(args, fmt);
    std::string text = vformat(fmt, args);
    va_end(args);
    static_cast<Messages*>(ctx)->addText(text);
}

// libxslt's process-wide handler: forwards to the calling thread's collector,
// drops the text when the thread has none.
void xsltDispatchHandler(void*, const char* fmt, ...) {
    Messages* sink = currentMessages;
    if (sink == nullptr || fmt == nullptr) return;
    va_list args;
    va_start(args, fmt);
    std::string text = vformat(fmt, args);
    va_end(args);
    sink->addText(text);
}

void silentHandler(void*, const char*, ...) {}

// Routes this thread's libxml2 and libxslt messages into `messages` while
// alive; restores the former handlers when it ends.
class Capture {
public:
    Capture()
        : oldStructured_(xmlStructuredError),
          oldStructuredCtx_(xmlStructuredErrorContext),
          oldGeneric_(xmlGenericError),
          oldGenericCtx_(xmlGenericErrorContext),
          oldMessages_(currentMessages) {
        xmlSetStructuredErrorFunc(&messages, structuredHandler);
        xmlSetGenericErrorFunc(&messages, genericHandler);
        currentMessages = &messages;
    }
    ~Capture() {
        currentMessages = oldMessages_;
        xmlSetGenericErrorFunc(oldGenericCtx_, oldGeneric_);
        xmlSetStructuredErrorFunc(oldStructuredCtx_, oldStructured_);
    }
    Capture(const Capture&) = delete;
    Capture& operator=(const Capture&) = delete;

    Messages messages;

private:
    xmlStructuredErrorFunc oldStructured_;
    void* oldStructuredCtx_;
    xmlGenericErrorFunc oldGeneric_;
    void* oldGenericCtx_;
    Messages* oldMessages_;
};

// ---------------------------------------------------------------------------
// Library set-up and the local-only resource loader

xmlExternalEntityLoader defaultLoader = nullptr;
xsltSecurityPrefsPtr securityPrefs = nullptr;

// False while a document is parsed without resolution of externals: then no
// external DTD or entity is read at all.
thread_local bool externalsAllowed = true;
// While a document is parsed with resolution of externals: the only folder
// they are read from ("" reads none).
thread_local const std::string* externalsFolder = nullptr;

// The URI scheme of `url` ("http", "file", ...), or "" for a plain path.
std::string uriScheme(std::string_view url) {
    size_t colon = url.find(':');
    if (colon == std::string_view::npos || colon < 2) return {};  // "C:" is a drive, not a scheme
    for (size_t i = 0; i < colon; ++i) {
        char c = url[i];
        bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                  (i > 0 && ((c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.'));
        if (!ok) return {};
    }
    std::string s(url.substr(0, colon));
    for (char& c : s)
        if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
    return s;
}

// The local path a system identifier names: a plain path, or a file: URL
// (percent-escapes undone); "" for any other scheme. A relative path is
// taken from `folder`.
std::string localPath(const std::string& url, const std::string& folder) {
    std::string path = url;
    const std::string scheme = uriScheme(url);
    if (scheme == "file") {
        path = url.substr(5);
        if (path.rfind("//localhost/", 0) == 0) path.erase(0, 11);
        else if (path.rfind("///", 0) == 0) path.erase(0, 2);
        else if (path.rfind("//", 0) == 0) return {};  // a file on another host
        char* raw = xmlURIUnescapeString(path.c_str(), 0, nullptr);
        if (raw == nullptr) return {};
        path = raw;
        xmlFree(raw);
    } else if (!scheme.empty()) {
        return {};
    }
    if (path.empty() || path.find('\0') != std::string::npos) return {};
    if (path[0] != '/') path = folder + "/" + path;
    return path;
}

// An external DTD or entity of a document parsed with resolution on: read only
// when it is a regular file inside the folder, links resolved first. Anything
// else (another path, a link out of the folder, a FIFO, a device, a URL) is
// refused before it is opened, and the refusal fails the load.
xmlParserInputPtr folderOnlyInput(const std::string& url, const std::string& what, const std::string& folder,
                                  xmlParserCtxtPtr ctxt) {
    auto refuse = [&](const std::string& why) -> xmlParserInputPtr {
        if (currentMessages)
            currentMessages->addNote(XML_IO_LOAD_ERROR, XML_ERR_ERROR,
                                     "external definition refused: " + what + " (" + why + ")");
        return nullptr;
    };
    const std::string outside = "only regular files inside the component folder are read";
    if (folder.empty()) return refuse(outside);
    const std::string path = url.empty() ? url : localPath(url, folder);
    if (path.empty()) return refuse(outside);

    char* realFolder = realpath(folder.c_str(), nullptr);
    char* realFile = realpath(path.c_str(), nullptr);
    std::string root = realFolder ? realFolder : "", file = realFile ? realFile : "";
    free(realFolder);
    free(realFile);
    if (root.empty() || file.empty()) return refuse("no such file");
    if (root.back() != '/') root += '/';
    struct stat st{};
    if (file.compare(0, root.size(), root) != 0 || stat(file.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        return refuse(outside);

    // Read through the descriptor that was checked, so nothing swapped in
    // between is read instead.
    int fd = open(file.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return refuse("cannot be read");
    std::string content;
    struct stat opened{};
    bool ok = fstat(fd, &opened) == 0 && S_ISREG(opened.st_mode) && opened.st_ino == st.st_ino &&
              opened.st_dev == st.st_dev;
    char chunk[65536];
    for (ssize_t n; ok && (n = read(fd, chunk, sizeof chunk)) != 0;) {
        if (n < 0) ok = false;
        else content.append(chunk, size_t(n));
    }
    close(fd);
    if (!ok || content.size() > size_t(INT_MAX)) return refuse("cannot be read");

    xmlParserInputBufferPtr buffer =
        xmlParserInputBufferCreateMem(content.data(), int(content.size()), XML_CHAR_ENCODING_NONE);
    if (buffer == nullptr) return refuse("out of memory");
    xmlParserInputPtr input = xmlNewIOInputStream(ctxt, buffer, XML_CHAR_ENCODING_NONE);
    if (input == nullptr) {
        xmlFreeParserInputBuffer(buffer);
        return refuse("out of memory");
    }
    input->filename = reinterpret_cast<const char*>(xmlStrdup(BAD_CAST file.c_str()));  // base of its own references
    return input;
}

xmlParserInputPtr localOnlyLoader(const char* url, const char* id, xmlParserCtxtPtr ctxt) {
    std::string what = url ? url : (id ? id : "");
    if (!externalsAllowed) {
        if (currentMessages)
            currentMessages->addNote(XML_IO_LOAD_ERROR, XML_ERR_WARNING,
                                     "external resource not resolved: " + what);
        return nullptr;
    }
    if (externalsFolder != nullptr) return folderOnlyInput(url ? url : "", what, *externalsFolder, ctxt);
    if (url != nullptr) {
        std::string scheme = uriScheme(url);
        if (!scheme.empty() && scheme != "file") {
            if (currentMessages)
                currentMessages->addNote(XML_IO_NETWORK_ATTEMPT, XML_ERR_WARNING,
                                         "refused to load a non-local resource: " + what);
            return nullptr;
        }
    }
    return defaultLoader(url, id, ctxt);
}

std::once_flag initFlag;

void initialise() {
    std::call_once(initFlag, [] {
        xmlInitParser();
        xsltInit();
        defaultLoader = xmlGetExternalEntityLoader();
        xmlSetExternalEntityLoader(localOnlyLoader);
        xsltSetGenericErrorFunc(nullptr, xsltDispatchHandler);
        xsltSetGenericDebugFunc(nullptr, silentHandler);
        // Site style sheets call msxsl:node-set() to turn result tree fragments into node sets.
        xsltRegisterExtModuleFunction(BAD_CAST "node-set", BAD_CAST kMsXsltNamespace, xsltFunctionNodeSet);
        securityPrefs = xsltNewSecurityPrefs();
        xsltSetSecurityPrefs(securityPrefs, XSLT_SECPREF_READ_NETWORK, xsltSecurityForbid);
        xsltSetSecurityPrefs(securityPrefs, XSLT_SECPREF_WRITE_NETWORK, xsltSecurityForbid);
        xsltSetSecurityPrefs(securityPrefs, XSLT_SECPREF_WRITE_FILE, xsltSecurityForbid);
        xsltSetSecurityPrefs(securityPrefs, XSLT_SECPREF_CREATE_DIRECTORY, xsltSecurityForbid);
    });
}

// What a document's parse may read: nothing, or files of one folder.
class ExternalsScope {
public:
    ExternalsScope(bool allowed, const std::string& folder)
        : old_(externalsAllowed), oldFolder_(externalsFolder) {
        externalsAllowed = allowed;
        externalsFolder = allowed ? &folder : nullptr;
    }
    ~ExternalsScope() {
        externalsAllowed = old_;
        externalsFolder = oldFolder_;
    }
    ExternalsScope(const ExternalsScope&) = delete;
    ExternalsScope& operator=(const ExternalsScope&) = delete;

private:
    bool old_;
    const std::string* oldFolder_;
};

// ---------------------------------------------------------------------------
// Small helpers

std::string fromXmlChars(const xmlChar* s) { return s ? std::string(reinterpret_cast<const char*>(s)) : std::string(); }

std::string ownedXmlChars(xmlChar* s) {
    std::string r = fromXmlChars(s);
    if (s) xmlFree(s);
    return r;
}

std::string nodeText(xmlNodePtr node) {
    return ownedXmlChars(xmlXPathCastNodeToString(node));
}

bool elementIs(xmlNodePtr node, const char* ns, const char* localName) {
    return node->type == XML_ELEMENT_NODE && node->ns != nullptr && node->ns->href != nullptr &&
           xmlStrEqual(node->ns->href, BAD_CAST ns) && xmlStrEqual(node->name, BAD_CAST localName);
}

bool containsScript(xmlNodePtr node) {
    for (; node != nullptr; node = node->next) {
        if (node->type != XML_ELEMENT_NODE) continue;
        if (elementIs(node, kMsXsltNamespace, "script")) return true;
        if (containsScript(node->children)) return true;
    }
    return false;
}

bool docContainsScript(xmlDocPtr doc) { return doc != nullptr && containsScript(doc->children); }

// The compiled style sheet and everything it includes or imports.
bool styleContainsScript(xsltStylesheetPtr style) {
    for (; style != nullptr; style = style->next) {
        if (docContainsScript(style->doc)) return true;
        for (xsltDocumentPtr d = style->docList; d != nullptr; d = d->next)
            if (docContainsScript(d->doc)) return true;
        if (styleContainsScript(style->imports)) return true;
    }
    return false;
}

// The text is always handed back as UTF-8, so an xsl:output encoding other
// than UTF-8 is replaced; the declaration then names the encoding the text has.
void forceUtf8Output(xsltStylesheetPtr style) {
    for (; style != nullptr; style = style->next) {
        if (style->encoding != nullptr && xmlStrcasecmp(style->encoding, BAD_CAST "UTF-8") != 0 &&
            xmlStrcasecmp(style->encoding, BAD_CAST "UTF8") != 0) {
            xmlFree(style->encoding);
            style->encoding = xmlStrdup(BAD_CAST "UTF-8");
        }
        forceUtf8Output(style->imports);
    }
}

struct SchemaDeleter {
    void operator()(xmlSchemaPtr s) const {
        if (s) xmlSchemaFree(s);
    }
};
using SchemaPtr = std::shared_ptr<xmlSchema>;
using StylePtr = std::shared_ptr<xsltStylesheet>;

// What a file was when it was read: a compiled schema or style sheet made
// from it is reused while the file still has this identity.
struct FileStamp {
    dev_t dev = 0;
    ino_t ino = 0;
    off_t size = 0;
    timespec mtime{};

    bool operator==(const FileStamp& o) const {
        return dev == o.dev && ino == o.ino && size == o.size && mtime.tv_sec == o.mtime.tv_sec &&
               mtime.tv_nsec == o.mtime.tv_nsec;
    }
};

std::optional<FileStamp> stampOf(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
    return FileStamp{st.st_dev, st.st_ino, st.st_size, st.st_mtim};
}

// Compiled schemas and style sheets of the process, by file path. Both are
// only read while documents are validated or transformed, so threads share
// them; each entry holds while its file keeps its stamp.
template <typename T>
class CompiledFiles {
public:
    std::shared_ptr<T> find(const std::string& path, const FileStamp& stamp) {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = entries_.find(path);
        if (it == entries_.end() || !(it->second.first == stamp)) return nullptr;
        return it->second.second;
    }
    void put(const std::string& path, const FileStamp& stamp, std::shared_ptr<T> compiled) {
        std::lock_guard<std::mutex> lock(mutex_);
        entries_[path] = {stamp, std::move(compiled)};
    }

private:
    std::mutex mutex_;
    std::map<std::string, std::pair<FileStamp, std::shared_ptr<T>>> entries_;
};

CompiledFiles<xmlSchema>& compiledSchemas() {
    static auto* files = new CompiledFiles<xmlSchema>();  // outlives every thread's documents
    return *files;
}

CompiledFiles<xsltStylesheet>& compiledStyleSheets() {
    static auto* files = new CompiledFiles<xsltStylesheet>();
    return *files;
}

}  // namespace

// ---------------------------------------------------------------------------
// SchemaCache

struct SchemaCache::Impl {
    mutable std::mutex mutex;
    std::map<std::string, SchemaPtr> schemas;

    SchemaPtr find(const std::string& ns) const {
        std::lock_guard<std::mutex> lock(mutex);
        auto it = schemas.find(ns);
        return it == schemas.end() ? nullptr : it->second;
    }
};

SchemaCache::SchemaCache() : impl_(std::make_unique<Impl>()) { initialise(); }
SchemaCache::~SchemaCache() = default;

void SchemaCache::add(const std::string& namespaceURI, const std::string& path) {
    initialise();
    {
        std::ifstream probe(path, std::ios::binary);
        if (!probe) throw Error("the schema file cannot be read: " + path);
    }
    const std::optional<FileStamp> before = stampOf(path);
    SchemaPtr schema = before ? compiledSchemas().find(path, *before) : nullptr;
    if (!schema) {
        Capture capture;
        xmlSchemaParserCtxtPtr parser = xmlSchemaNewParserCtxt(path.c_str());
        if (parser == nullptr) throw Error("the schema file cannot be read: " + path);
        xmlSchemaSetParserStructuredErrors(parser, structuredHandler, &capture.messages);
        schema = SchemaPtr(xmlSchemaParse(parser), SchemaDeleter());
        xmlSchemaFreeParserCtxt(parser);
        if (!schema) {
            std::string why = capture.messages.joined();
            throw Error("the schema " + path + " is invalid" + (why.empty() ? std::string() : ": " + why));
        }
        // Kept only when the file did not change while it was read.
        if (before && stampOf(path) == before) compiledSchemas().put(path, *before, schema);
    }
    std::string target = fromXmlChars(schema->targetNamespace);
    if (target != namespaceURI)
        throw Error("the schema " + path + " has the target namespace '" + target +
                    "', not the namespace '" + namespaceURI + "' it was added under");
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->schemas[namespaceURI] = std::move(schema);
}

size_t SchemaCache::length() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->schemas.size();
}

bool SchemaCache::has(const std::string& namespaceURI) const { return impl_->find(namespaceURI) != nullptr; }

// ---------------------------------------------------------------------------
// Document

struct Document::Impl {
    xmlDocPtr doc = nullptr;
    bool async = true;
    bool resolveExternals = false;
    std::string externalsFolder;
    std::shared_ptr<SchemaCache> schemas;
    std::map<std::string, bool, std::less<>> properties;
    ParseError parseError;
    // This document compiled as a style sheet; dropped whenever it is loaded again.
    StylePtr compiled;
    // The file the document was loaded from, unchanged while it was read.
    std::string sourcePath;
    std::optional<FileStamp> sourceStamp;

    ~Impl() { clear(); }

    void clear() {
        compiled.reset();
        sourcePath.clear();
        sourceStamp.reset();
        if (doc) {
            xmlFreeDoc(doc);
            doc = nullptr;
        }
    }

    bool fail(long code, std::string reason) {
        parseError.errorCode = code != 0 ? code : static_cast<long>(XML_ERR_INTERNAL_ERROR);
        parseError.reason = std::move(reason);
        return false;
    }

    // Parses `size` bytes; `encoding` forces the encoding when not null.
    bool parse(const char* data, size_t size, const char* url, const char* encoding) {
        clear();
        parseError = ParseError{};
        if (size > static_cast<size_t>(INT_MAX)) return fail(XML_ERR_INTERNAL_ERROR, "the document is too large");

        Capture capture;
        ExternalsScope externals(resolveExternals, externalsFolder);
        // Small texts are kept inside their nodes: documents are read, never edited.
        int options = XML_PARSE_NONET | XML_PARSE_NOENT | XML_PARSE_COMPACT;
        if (resolveExternals) options |= XML_PARSE_DTDLOAD | XML_PARSE_DTDATTR;
        if (encoding != nullptr) options |= XML_PARSE_IGNORE_ENC;

        // Fed in pieces: from one buffer, libxml2 refuses a document over
        // 10 MB ("Huge input lookup") unless every size limit is lifted.
        constexpr size_t kPiece = 1 << 20;
        xmlParserCtxtPtr ctxt = xmlNewParserCtxt();
        if (ctxt == nullptr) return fail(XML_ERR_NO_MEMORY, "out of memory");
        const size_t first = std::min(size, kPiece);
        xmlDocPtr parsed = nullptr;
        if (xmlCtxtResetPush(ctxt, data, static_cast<int>(first), url, encoding) == 0) {
            xmlCtxtUseOptions(ctxt, options);
            int rc = 0;
            for (size_t at = first; rc == 0 && at < size; at += kPiece)
                rc = xmlParseChunk(ctxt, data + at, static_cast<int>(std::min(kPiece, size - at)), 0);
            if (rc == 0) xmlParseChunk(ctxt, nullptr, 0, 1);
            parsed = ctxt->myDoc;
            ctxt->myDoc = nullptr;
            if (parsed != nullptr && !ctxt->wellFormed) {
                xmlFreeDoc(parsed);
                parsed = nullptr;
            }
        }
        xmlFreeParserCtxt(ctxt);

        const Message* error = capture.messages.firstError();
        if (parsed == nullptr || error != nullptr) {
            if (parsed) xmlFreeDoc(parsed);
            if (error) return fail(error->code, Messages::format(*error));
            return fail(XML_ERR_INTERNAL_ERROR, "the document could not be parsed");
        }
        if (xmlDocGetRootElement(parsed) == nullptr) {
            xmlFreeDoc(parsed);
            return fail(XML_ERR_DOCUMENT_EMPTY, "the document has no root element");
        }
        if (!validate(parsed, capture.messages)) {
            xmlFreeDoc(parsed);
            return false;
        }
        doc = parsed;
        return true;
    }

    // Validation against the cache's schema for the root element's namespace.
    bool validate(xmlDocPtr parsed, Messages& messages) {
        if (!schemas) return true;
        xmlNodePtr root = xmlDocGetRootElement(parsed);
        std::string ns = (root->ns && root->ns->href) ? fromXmlChars(root->ns->href) : std::string();
        SchemaPtr schema = schemas->impl().find(ns);
        if (!schema) return true;

        xmlSchemaValidCtxtPtr vctxt = xmlSchemaNewValidCtxt(schema.get());
        if (vctxt == nullptr) return fail(XML_ERR_NO_MEMORY, "out of memory");
        size_t before = messages.list.size();
        xmlSchemaSetValidStructuredErrors(vctxt, structuredHandler, &messages);
        int rc = xmlSchemaValidateDoc(vctxt, parsed);
        xmlSchemaFreeValidCtxt(vctxt);
        if (rc == 0) return true;
        messages.flush();
        for (size_t i = before; i < messages.list.size(); ++i)
            if (messages.list[i].level >= XML_ERR_ERROR)
                return fail(messages.list[i].code, Messages::format(messages.list[i]));
        return fail(rc > 0 ? rc : static_cast<long>(XML_ERR_INTERNAL_ERROR), "the document is not valid under the schema for '" + ns + "'");
    }

    // Compiles this document as a style sheet once, or takes the process's
    // compilation of the same unchanged file; throws when it cannot.
    xsltStylesheetPtr styleSheet() {
        if (compiled) return compiled.get();
        if (doc == nullptr) throw Error("the style sheet is empty");
        if (sourceStamp) {
            if ((compiled = compiledStyleSheets().find(sourcePath, *sourceStamp))) return compiled.get();
        }
        if (docContainsScript(doc)) throw Error(kScriptRefused);
        Capture capture;
        xmlDocPtr copy = xmlCopyDoc(doc, 1);
        if (copy == nullptr) throw Error("out of memory while copying the style sheet");
        xsltStylesheetPtr style = xsltParseStylesheetDoc(copy);  // owns `copy` on success
        if (style == nullptr) {
            xmlFreeDoc(copy);
            std::string why = capture.messages.joined();
            throw Error("the style sheet is invalid" + (why.empty() ? std::string() : ": " + why));
        }
        if (style->errors != 0) {
            std::string why = capture.messages.joined();
            xsltFreeStylesheet(style);
            throw Error("the style sheet is invalid" + (why.empty() ? std::string() : ": " + why));
        }
        if (styleContainsScript(style)) {
            xsltFreeStylesheet(style);
            throw Error(kScriptRefused);
        }
        forceUtf8Output(style);
        compiled = StylePtr(style, xsltFreeStylesheet);
        if (sourceStamp) compiledStyleSheets().put(sourcePath, *sourceStamp, compiled);
        return compiled.get();
    }
};

Document::Document() : impl_(std::make_unique<Impl>()) { initialise(); }
Document::~Document() = default;

void Document::setAsync(bool on) { impl_->async = on; }
bool Document::async() const { return impl_->async; }
void Document::setResolveExternals(bool on) { impl_->resolveExternals = on; }
bool Document::resolveExternals() const { return impl_->resolveExternals; }
void Document::setExternalsFolder(std::string folder) { impl_->externalsFolder = std::move(folder); }
void Document::setSchemas(std::shared_ptr<SchemaCache> cache) { impl_->schemas = std::move(cache); }
std::shared_ptr<SchemaCache> Document::schemas() const { return impl_->schemas; }

void Document::setProperty(std::string_view name, bool value) { impl_->properties[std::string(name)] = value; }

bool Document::property(std::string_view name) const {
    auto it = impl_->properties.find(name);
    return it != impl_->properties.end() && it->second;
}

bool Document::load(const std::string& path) {
    const std::optional<FileStamp> before = stampOf(path);
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    if (in) content << in.rdbuf();
    if (!in || in.bad()) {
        impl_->clear();
        impl_->parseError = ParseError{};
        return impl_->fail(XML_IO_LOAD_ERROR, "the file cannot be read: " + path);
    }
    std::string text = content.str();
    // The file's own encoding declaration or byte order mark applies; the
    // path is the base for relative references.
    if (!impl_->parse(text.data(), text.size(), path.c_str(), nullptr)) return false;
    if (before && stampOf(path) == before) {
        impl_->sourcePath = path;
        impl_->sourceStamp = before;
    }
    return true;
}

bool Document::loadXML(std::string_view text) {
    return impl_->parse(text.data(), text.size(), nullptr, "UTF-8");
}

const ParseError& Document::parseError() const { return impl_->parseError; }

bool Document::hasDocumentElement() const {
    return impl_->doc != nullptr && xmlDocGetRootElement(impl_->doc) != nullptr;
}

std::optional<std::string> Document::rootAttribute(std::string_view name) const {
    xmlNodePtr root = impl_->doc ? xmlDocGetRootElement(impl_->doc) : nullptr;
    if (root == nullptr) throw Error("the document has no root element");
    // Matched by qualified name, as written in the document.
    for (xmlAttrPtr a = root->properties; a != nullptr; a = a->next) {
        std::string qname = fromXmlChars(a->name);
        if (a->ns && a->ns->prefix) qname = fromXmlChars(a->ns->prefix) + ":" + qname;
        if (qname == name) return ownedXmlChars(xmlNodeListGetString(impl_->doc, a->children, 1));
    }
    for (xmlNsPtr ns = root->nsDef; ns != nullptr; ns = ns->next) {
        std::string qname = ns->prefix ? "xmlns:" + fromXmlChars(ns->prefix) : std::string("xmlns");
        if (qname == name) return fromXmlChars(ns->href);
    }
    return std::nullopt;
}

std::vector<std::string> Document::selectNodes(std::string_view xpath) const {
    if (!hasDocumentElement()) throw Error("cannot select nodes: the document is empty");
    std::string expr(xpath);
    Capture capture;
    xmlXPathCompExprPtr comp = xmlXPathCompile(BAD_CAST expr.c_str());
    if (comp == nullptr) {
        std::string why = capture.messages.joined();
        throw Error("invalid XPath expression '" + expr + "'" + (why.empty() ? std::string() : ": " + why));
    }
    xmlXPathContextPtr ctx = xmlXPathNewContext(impl_->doc);
    xmlXPathObjectPtr result = ctx ? xmlXPathCompiledEval(comp, ctx) : nullptr;
    xmlXPathFreeCompExpr(comp);
    if (ctx) xmlXPathFreeContext(ctx);
    if (result == nullptr) {
        std::string why = capture.messages.joined();
        throw Error("the XPath expression '" + expr + "' failed" + (why.empty() ? std::string() : ": " + why));
    }
    if (result->type != XPATH_NODESET) {
        xmlXPathFreeObject(result);
        throw Error("the XPath expression '" + expr + "' does not select nodes");
    }
    std::vector<std::string> texts;
    if (xmlNodeSetPtr set = result->nodesetval) {
        xmlXPathNodeSetSort(set);
        texts.reserve(static_cast<size_t>(set->nodeNr));
        for (int i = 0; i < set->nodeNr; ++i) texts.push_back(nodeText(set->nodeTab[i]));
    }
    xmlXPathFreeObject(result);
    return texts;
}

namespace {

// Runs the style sheet over `doc`; the result tree belongs to the caller.
xmlDocPtr runStyleSheet(xsltStylesheetPtr style, xmlDocPtr doc) {
    Capture capture;
    xsltTransformContextPtr ctxt = xsltNewTransformContext(style, doc);
    if (ctxt == nullptr) throw Error("the transformation could not be started");
    xsltSetCtxtSecurityPrefs(securityPrefs, ctxt);
    xsltSetTransformErrorFunc(ctxt, &capture.messages, genericHandler);
    xmlDocPtr result = xsltApplyStylesheetUser(style, doc, nullptr, nullptr, nullptr, ctxt);
    bool failed = result == nullptr || ctxt->state == XSLT_STATE_ERROR || ctxt->state == XSLT_STATE_STOPPED;
    xsltFreeTransformContext(ctxt);
    if (failed) {
        if (result) xmlFreeDoc(result);
        std::string why = capture.messages.joined();
        throw Error("the transformation failed" + (why.empty() ? std::string() : ": " + why));
    }
    return result;
}

// The result tree written as the style sheet's xsl:output says, straight
// into the string (no intermediate buffer and copy of the whole text).
std::string outputText(xmlDocPtr result, xsltStylesheetPtr style) {
    std::string out;
    xmlCharEncodingHandlerPtr encoder = nullptr;
    const xmlChar* encoding = nullptr;
    XSLT_GET_IMPORT_PTR(encoding, style, encoding)
    if (encoding != nullptr) {
        encoder = xmlFindCharEncodingHandler(reinterpret_cast<const char*>(encoding));
        if (encoder != nullptr && xmlStrEqual(BAD_CAST encoder->name, BAD_CAST "UTF-8")) encoder = nullptr;
    }
    auto write = [](void* ctx, const char* data, int len) -> int {
        static_cast<std::string*>(ctx)->append(data, static_cast<size_t>(len));
        return len;
    };
    xmlOutputBufferPtr buf = xmlOutputBufferCreateIO(write, nullptr, &out, encoder);
    if (buf == nullptr) throw Error("the transformation's output could not be written");
    const int written = xsltSaveResultTo(buf, result, style);
    if (xmlOutputBufferClose(buf) < 0 || written < 0) throw Error("the transformation's output could not be written");
    return out;
}

bool escapingDisabled(xmlNodePtr node) {
    for (; node != nullptr; node = node->next) {
        if (node->type == XML_TEXT_NODE && node->name == xmlStringTextNoenc) return true;
        if (node->type == XML_ELEMENT_NODE && escapingDisabled(node->children)) return true;
    }
    return false;
}

// True when parsing the written output gives this very tree: XML 1.0 output
// without indentation or DOCTYPE, one root element with nothing but comments
// and processing instructions beside it, no text written unescaped.
bool treeIsItsText(xmlDocPtr result, xsltStylesheetPtr style) {
    const xmlChar *method = nullptr, *version = nullptr, *doctypeSystem = nullptr, *doctypePublic = nullptr;
    int indent = -1;
    XSLT_GET_IMPORT_PTR(method, style, method)
    XSLT_GET_IMPORT_PTR(version, style, version)
    XSLT_GET_IMPORT_PTR(doctypeSystem, style, doctypeSystem)
    XSLT_GET_IMPORT_PTR(doctypePublic, style, doctypePublic)
    XSLT_GET_IMPORT_INT(indent, style, indent)
    if (result->type != XML_DOCUMENT_NODE || result->intSubset != nullptr || result->extSubset != nullptr) return false;
    if ((method != nullptr && !xmlStrEqual(method, BAD_CAST "xml")) || indent == 1 || doctypeSystem != nullptr ||
        doctypePublic != nullptr || (version != nullptr && !xmlStrEqual(version, BAD_CAST "1.0")))
        return false;
    int elements = 0;
    for (xmlNodePtr n = result->children; n != nullptr; n = n->next) {
        if (n->type == XML_ELEMENT_NODE) ++elements;
        else if (n->type != XML_COMMENT_NODE && n->type != XML_PI_NODE) return false;
    }
    return elements == 1 && !escapingDisabled(result->children);
}

}  // namespace

std::string Document::transformNode(Document& styleSheet) const {
    if (!hasDocumentElement()) throw Error("cannot transform: the document is empty");
    xsltStylesheetPtr style = styleSheet.impl_->styleSheet();
    std::unique_ptr<xmlDoc, void (*)(xmlDocPtr)> result(runStyleSheet(style, impl_->doc), xmlFreeDoc);
    return outputText(result.get(), style);
}

std::string Document::transformAndLoad(Document& styleSheet) {
    if (!hasDocumentElement()) throw Error("cannot transform: the document is empty");
    xsltStylesheetPtr style = styleSheet.impl_->styleSheet();
    const StylePtr keep = styleSheet.impl_->compiled;  // alive even when the style sheet is this document
    std::unique_ptr<xmlDoc, void (*)(xmlDocPtr)> result(runStyleSheet(style, impl_->doc), xmlFreeDoc);
    // The source goes before the output is written, and its pages go back
    // to the system, so the output and what follows do not pile on top.
    impl_->clear();
    malloc_trim(0);
    std::string text = outputText(result.get(), style);
    if (!treeIsItsText(result.get(), style)) {
        impl_->parse(text.data(), text.size(), nullptr, "UTF-8");
        return text;
    }
    impl_->parseError = ParseError{};
    Capture capture;
    if (!impl_->validate(result.get(), capture.messages)) {
        // Loading the text reports the failure exactly as a load does.
        impl_->parse(text.data(), text.size(), nullptr, "UTF-8");
        return text;
    }
    impl_->doc = result.release();
    return text;
}

std::string Document::xml() const {
    if (impl_->doc == nullptr) return {};
    Capture capture;
    xmlBufferPtr buffer = xmlBufferCreate();
    if (buffer == nullptr) throw Error("out of memory while writing the document");
    xmlSaveCtxtPtr save = xmlSaveToBuffer(buffer, "UTF-8", XML_SAVE_NO_DECL);
    if (save == nullptr) {
        xmlBufferFree(buffer);
        throw Error("the document could not be written");
    }
    xmlSaveDoc(save, impl_->doc);
    xmlSaveClose(save);
    std::string out(reinterpret_cast<const char*>(xmlBufferContent(buffer)), static_cast<size_t>(xmlBufferLength(buffer)));
    xmlBufferFree(buffer);
    while (!out.empty() && out.back() == '\n') out.pop_back();
    return out;
}

}  // namespace dz::xml
