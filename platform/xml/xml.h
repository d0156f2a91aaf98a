// XML services over libxml2 and libxslt: DOM documents with a parse error,
// XSD schema caches (one schema per target namespace), XPath 1.0 selection
// and XSLT 1.0 transformation into text.
//
// Loading never touches the network, and libxml2's entity-expansion limits
// stay on. Script blocks in style sheets are never run: a style sheet that
// holds one fails its transformation with a reason that says so, whatever
// "AllowXsltScript" is set to.
#pragma once

#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace dz::xml {

// A failure of an XML service call other than a load error.
class Error : public std::runtime_error {
public:
    explicit Error(const std::string& description) : std::runtime_error(description) {}
    std::string description() const { return what(); }
};

struct ParseError {
    long errorCode = 0;  // 0 after a good load, non-zero otherwise
    std::string reason;
};

class SchemaCache {
public:
    SchemaCache();
    ~SchemaCache();
    SchemaCache(const SchemaCache&) = delete;
    SchemaCache& operator=(const SchemaCache&) = delete;

    // Reads and compiles the schema file now and files it under the
    // namespace, replacing an earlier one. Throws Error when it cannot.
    void add(const std::string& namespaceURI, const std::string& path);
    size_t length() const;
    bool has(const std::string& namespaceURI) const;

    struct Impl;
    Impl& impl() { return *impl_; }

private:
    std::unique_ptr<Impl> impl_;
};

class Document {
public:
    Document();
    ~Document();
    Document(const Document&) = delete;
    Document& operator=(const Document&) = delete;

    void setAsync(bool on);  // loading is always synchronous; kept as a property
    bool async() const;
    // With resolution on, external DTDs and entities are read only from
    // regular files inside the externals folder (relative references are
    // taken from it); any other reference fails the load without being
    // opened, and without a folder every reference does.
    void setResolveExternals(bool on);
    bool resolveExternals() const;
    void setExternalsFolder(std::string folder);
    // Every later load is validated against the cache's schema for the root
    // element's namespace; a namespace without a schema is not validated.
    void setSchemas(std::shared_ptr<SchemaCache> cache);
    std::shared_ptr<SchemaCache> schemas() const;
    // "AllowXsltScript" (and any other name, kept but without effect).
    void setProperty(std::string_view name, bool value);
    bool property(std::string_view name) const;

    // Replace the content; a syntax or schema error empties the document and
    // is reported by parseError(), never thrown. Return true on success.
    bool load(const std::string& path);
    bool loadXML(std::string_view text);  // already decoded: an encoding declaration is ignored
    const ParseError& parseError() const;

    bool hasDocumentElement() const;
    // The root element's attribute, or nullopt when absent. Throws Error when
    // the document has no root element.
    std::optional<std::string> rootAttribute(std::string_view name) const;
    // Texts of the matching nodes in document order (an attribute's text is its value).
    // Throws Error for an invalid expression or an empty document.
    std::vector<std::string> selectNodes(std::string_view xpath) const;
    // The style sheet's output for the whole document, as text. The compiled
    // style sheet is kept in `styleSheet` until it is loaded again.
    // Throws Error when the style sheet is empty, invalid or fails.
    std::string transformNode(Document& styleSheet) const;
    // loadXML(transformNode(styleSheet)) in one step: returns the output text
    // and loads it in place of this document, validated like any load (the
    // outcome in parseError()). Where the output tree is what parsing its
    // text gives (XML output, one root element, no indentation, no DOCTYPE,
    // no disabled escaping) the tree is taken and the text not parsed again.
    // Throws as transformNode does: a failed transformation leaves the
    // document as it was, a failure to write its output empties it.
    std::string transformAndLoad(Document& styleSheet);
    std::string xml() const;  // the document serialised, "" when empty

    struct Impl;
    Impl& impl() { return *impl_; }

private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace dz::xml
