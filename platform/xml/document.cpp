// Document: loading, validation, attributes and XPath selection.
#include <libxml/xpathInternals.h>

#include <algorithm>
#include <climits>
#include <fstream>
#include <sstream>

#include "platform/xml/internal.h"

namespace dz::xml {

bool Document::Impl::fail(long code, std::string reason) {
    parseError.errorCode = code != 0 ? code : static_cast<long>(XML_ERR_INTERNAL_ERROR);
    parseError.reason = std::move(reason);
    return false;
}


// Parses `size` bytes; `encoding` forces the encoding when not null.
bool Document::Impl::parse(const char* data, size_t size, const char* url, const char* encoding) {
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
bool Document::Impl::validate(xmlDocPtr parsed, Messages& messages) {
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

}  // namespace dz::xml
