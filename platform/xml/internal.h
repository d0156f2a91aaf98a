// The parts of the XML services that their files share: message capture,
// the loader's set-up, compiled files and the document's inside.
#pragma once

#include <libxml/parser.h>
#include <libxml/tree.h>
#include <libxml/xmlerror.h>
#include <libxml/xmlschemas.h>
#include <libxml/xpath.h>
#include <libxslt/security.h>
#include <libxslt/xsltInternals.h>
#include <sys/stat.h>

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/xml/xml.h"

namespace dz::xml {

inline constexpr const char* kMsXsltNamespace = "urn:schemas-microsoft-com:xslt";
inline constexpr const char* kScriptRefused =
    "the style sheet contains a script block (msxsl:script); script blocks are not supported by this "
    "library";

// ---- message capture (capture.cpp) ------------------------------------------

struct Message {
    int code = 0;
    int level = XML_ERR_ERROR;
    int line = 0;
    std::string text;
};

inline std::string trimmed(std::string_view s) {
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


// The collector of the calling thread's current call, if any.
extern thread_local Messages* currentMessages;

void structuredHandler(void* ctx, xmlErrorPtr err);
void genericHandler(void* ctx, const char* fmt, ...);
void xsltDispatchHandler(void*, const char* fmt, ...);
void silentHandler(void*, const char*, ...);

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


// ---- set-up and external references (loader.cpp) -----------------------------

// Sets libxml2 and libxslt up once per process.
void initialise();

// What every transformation may not do: read or write the network, write files.
extern xsltSecurityPrefsPtr securityPrefs;

extern thread_local bool externalsAllowed;
extern thread_local const std::string* externalsFolder;

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


// ---- small helpers -------------------------------------------------------------

inline std::string fromXmlChars(const xmlChar* s) { return s ? std::string(reinterpret_cast<const char*>(s)) : std::string(); }

inline std::string ownedXmlChars(xmlChar* s) {
    std::string r = fromXmlChars(s);
    if (s) xmlFree(s);
    return r;
}

inline std::string nodeText(xmlNodePtr node) {
    return ownedXmlChars(xmlXPathCastNodeToString(node));
}

// ---- style sheets (transform.cpp) ------------------------------------------------

bool docContainsScript(xmlDocPtr doc);
bool styleContainsScript(xsltStylesheetPtr style);
void forceUtf8Output(xsltStylesheetPtr style);

// ---- compiled files (compiled.cpp) ---------------------------------------------

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

std::optional<FileStamp> stampOf(const std::string& path);

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

CompiledFiles<xmlSchema>& compiledSchemas();
CompiledFiles<xsltStylesheet>& compiledStyleSheets();

// The namespaces' schemas of a SchemaCache.
struct SchemaCache::Impl {
    mutable std::mutex mutex;
    std::map<std::string, SchemaPtr> schemas;

    SchemaPtr find(const std::string& ns) const {
        std::lock_guard<std::mutex> lock(mutex);
        auto it = schemas.find(ns);
        return it == schemas.end() ? nullptr : it->second;
    }
};

// ---- the document (document.cpp; its style sheet in transform.cpp) -----------

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


    bool fail(long code, std::string reason);
    // Parses `size` bytes; `encoding` forces the encoding when not null.
    bool parse(const char* data, size_t size, const char* url, const char* encoding);
    // Validation against the cache's schema for the root element's namespace.
    bool validate(xmlDocPtr parsed, Messages& messages);
    // Compiles this document as a style sheet once, or takes the process's
    // compilation of the same unchanged file; throws when it cannot.
    xsltStylesheetPtr styleSheet();
};

}  // namespace dz::xml
