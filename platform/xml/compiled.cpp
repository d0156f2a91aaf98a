// Compiled schemas and style sheets kept per file, and the schema cache.
#include <libxml/xmlschemas.h>
#include <libxml/schemasInternals.h>

#include <fstream>

#include "platform/xml/internal.h"

namespace dz::xml {

std::optional<FileStamp> stampOf(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
    return FileStamp{st.st_dev, st.st_ino, st.st_size, st.st_mtim};
}

CompiledFiles<xmlSchema>& compiledSchemas() {
    static auto* files = new CompiledFiles<xmlSchema>();  // outlives every thread's documents
    return *files;
}

CompiledFiles<xsltStylesheet>& compiledStyleSheets() {
    static auto* files = new CompiledFiles<xsltStylesheet>();
    return *files;
}


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

}  // namespace dz::xml
