// Library set-up and the local-only loader of external DTDs and entities.
#include <fcntl.h>
#include <libxml/parserInternals.h>
#include <libxml/uri.h>
#include <libxslt/extensions.h>
#include <libxslt/extra.h>
#include <libxslt/security.h>
#include <libxslt/xslt.h>
#include <libxslt/xsltutils.h>
#include <unistd.h>

#include <cstring>

#include "platform/xml/internal.h"

namespace dz::xml {

xsltSecurityPrefsPtr securityPrefs = nullptr;

// False while a document is parsed without resolution of externals: then no
// external DTD or entity is read at all.
thread_local bool externalsAllowed = true;
// While a document is parsed with resolution of externals: the only folder
// they are read from ("" reads none).
thread_local const std::string* externalsFolder = nullptr;

namespace {

xmlExternalEntityLoader defaultLoader = nullptr;

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

}  // namespace

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

}  // namespace dz::xml
