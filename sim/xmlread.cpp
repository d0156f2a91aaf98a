// A small reader for the XML the procedures receive (result documents,
// requests, calibration): the tree of elements with attributes and text.
#include <libxml/parser.h>
#include <libxml/tree.h>
#include <libxml/xmlreader.h>

#include <mutex>

#include "platform/text.h"
#include "sim/internal.h"

namespace dz::sim {

namespace {

void initParser() {
    static std::once_flag once;
    std::call_once(once, [] { xmlInitParser(); });
}

std::string str(const xmlChar* s) { return s ? reinterpret_cast<const char*>(s) : ""; }

XmlElement convert(xmlNode* node) {
    XmlElement e;
    e.name = str(node->name);
    if (node->ns) e.ns = str(node->ns->href);
    for (xmlAttr* a = node->properties; a; a = a->next) {
        xmlChar* v = xmlNodeListGetString(node->doc, a->children, 1);
        e.attrs.emplace_back(str(a->name), str(v));
        xmlFree(v);
    }
    xmlChar* content = xmlNodeGetContent(node);
    e.text = str(content);
    xmlFree(content);
    for (xmlNode* c = node->children; c; c = c->next)
        if (c->type == XML_ELEMENT_NODE) e.children.push_back(convert(c));
    return e;
}

}  // namespace

const std::string* XmlElement::attr(std::string_view n) const {
    for (const auto& [k, v] : attrs)
        if (text::iequals(k, n)) return &v;
    return nullptr;
}

void XmlElement::collect(std::string_view n, std::vector<const XmlElement*>& out) const {
    if (text::iequals(name, n)) out.push_back(this);
    for (const auto& c : children) c.collect(n, out);
}

std::optional<XmlElement> parseXml(std::string_view text) {
    initParser();
    xmlParserCtxtPtr ctxt = xmlNewParserCtxt();
    if (!ctxt) return std::nullopt;
    // Texts arrive decoded; an encoding declaration in them is ignored.
    xmlDocPtr doc = xmlCtxtReadMemory(ctxt, text.data(), int(text.size()), nullptr, "UTF-8",
                                      XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING |
                                          XML_PARSE_IGNORE_ENC);
    std::optional<XmlElement> out;
    if (doc && ctxt->wellFormed) {
        xmlNode* root = xmlDocGetRootElement(doc);
        if (root) out = convert(root);
    }
    xmlFreeDoc(doc);
    xmlFreeParserCtxt(ctxt);
    return out;
}

std::optional<ResultFacts> readResult(std::string_view text) {
    initParser();
    xmlTextReaderPtr reader = xmlReaderForMemory(text.data(), int(text.size()), nullptr, "UTF-8",
                                                 XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING |
                                                     XML_PARSE_IGNORE_ENC);
    if (!reader) return std::nullopt;
    // The first attribute of that name, without regard to case.
    auto attr = [&](const char* name) -> std::optional<std::string> {
        std::optional<std::string> found;
        for (int more = xmlTextReaderMoveToFirstAttribute(reader); more == 1 && !found;
             more = xmlTextReaderMoveToNextAttribute(reader)) {
            if (xmlTextReaderIsNamespaceDecl(reader) == 1) continue;
            if (text::iequals(str(xmlTextReaderConstLocalName(reader)), name))
                found = str(xmlTextReaderConstValue(reader));
        }
        xmlTextReaderMoveToElement(reader);
        return found;
    };
    ResultFacts facts;
    int rc;
    while ((rc = xmlTextReaderRead(reader)) == 1) {
        if (xmlTextReaderNodeType(reader) != XML_READER_TYPE_ELEMENT) continue;
        if (xmlTextReaderDepth(reader) == 0) facts.station = attr("STATION");
        if (text::iequals(str(xmlTextReaderConstLocalName(reader)), "DUT"))
            facts.duts.push_back({attr("ID"), attr("STATUS")});
    }
    xmlFreeTextReader(reader);
    if (rc != 0) return std::nullopt;
    return facts;
}

}  // namespace dz::sim
