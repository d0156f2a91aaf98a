// Transformation: compiling a document as a style sheet (no script blocks,
// UTF-8 output) and running it over another.
#include <libxml/parserInternals.h>
#include <libxml/xmlsave.h>
#include <libxslt/security.h>
#include <libxslt/imports.h>
#include <libxslt/transform.h>
#include <libxslt/xsltutils.h>

#include <malloc.h>

#include "platform/xml/internal.h"

namespace dz::xml {

namespace {

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

}  // namespace

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


// Compiles this document as a style sheet once, or takes the process's
// compilation of the same unchanged file; throws when it cannot.
xsltStylesheetPtr Document::Impl::styleSheet() {
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

