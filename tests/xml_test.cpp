// XML services: loading, parse errors, schema validation by root namespace,
// XPath selection, XSLT transformation and the safety rules around them; the
// sample deployment files in site/: the result style sheets turn a tester's
// document into one the result schema accepts, with the DUT statuses and IDs
// where the component looks for them.
#include "platform/xml/xml.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <functional>
#include <thread>

#include "support/errors.h"
#include "support/station.h"

namespace {

using dz::xml::Document;
using dz::xml::Error;
using dz::xml::SchemaCache;
using dz::test::sitePath;
using Texts = std::vector<std::string>;

class XmlTest : public ::testing::Test {
protected:
    std::string write(const std::string& name, const std::string& content) {
        tmp_.write(name, content);
        return tmp_.file(name);
    }
    std::shared_ptr<SchemaCache> unitSchemas() {
        auto cache = std::make_shared<SchemaCache>();
        cache->add("urn:GetUnitInfo-schema", write("unit.xsd", kUnitSchema));
        return cache;
    }

    static constexpr const char* kUnitSchema = R"(<?xml version="1.0"?>
<xs:schema xmlns:xs="http://www.w3.org/2001/XMLSchema" targetNamespace="urn:GetUnitInfo-schema"
           xmlns="urn:GetUnitInfo-schema" elementFormDefault="qualified">
  <xs:element name="GetUnitInfo"><xs:complexType>
    <xs:attribute name="SerialNumber" type="xs:string" use="required"/>
    <xs:attribute name="Station" type="xs:string"/>
  </xs:complexType></xs:element>
</xs:schema>)";

    dz::test::TempDir tmp_;
    const std::string dir_ = tmp_.path();
};

const std::string kText = "<xsl:output method='text'/>";

// A style sheet of the top-level elements `top`, text output unless `output` says otherwise.
std::string textSheet(const std::string& top, const std::string& output = kText) {
    return "<xsl:stylesheet xmlns:xsl='http://www.w3.org/1999/XSL/Transform' version='1.0' "
           "xmlns:msxsl='urn:schemas-microsoft-com:xslt' exclude-result-prefixes='msxsl'>" +
           output + top + "</xsl:stylesheet>";
}

// A style sheet of one template for the root.
std::string rootSheet(const std::string& body, const std::string& output = kText) {
    return textSheet("<xsl:template match='/'>" + body + "</xsl:template>", output);
}

std::string errorOf(const std::function<void()>& f) { return dz::test::errorOf<Error>(f); }

// ---------------------------------------------------------------------------
// Loading and parse errors

TEST_F(XmlTest, LoadReplacesContentAndReportsErrors) {
    Document doc, sheet;
    ::testing::internal::CaptureStderr();  // libxml2 and libxslt must not print
    for (const char* bad : {"", "not xml", "<a><a>", "<p:a/>", "<a/><b/>", "<a>\n<b></a>"}) {
        ASSERT_TRUE(doc.loadXML("<a x=\"1\"><b>t</b></a>"));
        EXPECT_EQ(doc.parseError().errorCode, 0);
        EXPECT_EQ(doc.xml(), "<a x=\"1\"><b>t</b></a>");
        EXPECT_FALSE(doc.loadXML(bad)) << bad;
        EXPECT_NE(doc.parseError().errorCode, 0) << bad;
        EXPECT_FALSE(doc.parseError().reason.empty()) << bad;
        EXPECT_EQ(doc.xml(), "") << bad;
    }
    EXPECT_NE(doc.parseError().reason.find("line 2"), std::string::npos) << doc.parseError().reason;
    sheet.loadXML(textSheet("<xsl:bogus/>"));
    doc.loadXML("<a/>");
    EXPECT_THROW(doc.transformNode(sheet), Error);
    EXPECT_THROW(doc.selectNodes("//["), Error);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
}

// A 20 MB result is a station's everyday document; one buffer over 10 MB
// would need libxml2's limits lifted.
TEST_F(XmlTest, DocumentsOverTenMegabytesLoad) {
    std::string big = "<r>";
    while (big.size() < (12u << 20)) big += "<m v=\"0123456789abcdef\"/>";
    big += "</r>";
    Document doc;
    ASSERT_TRUE(doc.loadXML(big)) << doc.parseError().reason;
    EXPECT_EQ(doc.selectNodes("/r/m[last()]/@v"), std::vector<std::string>{"0123456789abcdef"});
    big.insert(big.size() - 4, "<m>");  // unclosed, far past the first piece
    EXPECT_FALSE(doc.loadXML(big));
    EXPECT_NE(doc.parseError().errorCode, 0);
}

TEST_F(XmlTest, TextIsUtf8WhateverItsDeclarationSaysFilesFollowTheirs) {
    Document doc;
    for (const char* decl : {"<?xml version=\"1.0\" encoding=\"UTF-16\"?>",
                             "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>", "\xEF\xBB\xBF", ""}) {
        ASSERT_TRUE(doc.loadXML(std::string(decl) + "<a v=\"\xC3\xBC\">\xE2\x82\xAC</a>")) << decl;
        EXPECT_EQ(doc.selectNodes("/a"), Texts{"\xE2\x82\xAC"});
        EXPECT_EQ(doc.rootAttribute("v"), "\xC3\xBC");
    }
    EXPECT_FALSE(doc.loadXML("<a>\xFF</a>"));  // not UTF-8

    ASSERT_TRUE(doc.load(write("latin.xml", "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><a>\xFC</a>")));
    EXPECT_EQ(doc.selectNodes("/a"), Texts{"\xC3\xBC"});
    std::string missing = dir_ + "/missing.xml";
    EXPECT_FALSE(doc.load(missing));
    EXPECT_NE(doc.parseError().reason.find(missing), std::string::npos);
    EXPECT_FALSE(doc.hasDocumentElement());
}

// ---------------------------------------------------------------------------
// Schema caches

TEST_F(XmlTest, SchemaAddReadsTheFileNow) {
    auto cache = unitSchemas();
    cache->add("urn:GetUnitInfo-schema", dir_ + "/unit.xsd");  // replaces, one schema per namespace
    EXPECT_NE(errorOf([&] { cache->add("urn:x", dir_ + "/none.xsd"); }).find("none.xsd"), std::string::npos);
    std::string broken = write("broken.xsd", "<xs:schema xmlns:xs='http://www.w3.org/2001/XMLSchema'><xs:element/>");
    EXPECT_THROW(cache->add("", broken), Error);
    // The schema's target namespace must be the one it is filed under.
    EXPECT_THROW(cache->add("urn:other", dir_ + "/unit.xsd"), Error);
    EXPECT_EQ(cache->length(), 1u);
}

// A root namespace without a schema, or no namespace at all, is not validated.
TEST_F(XmlTest, LoadsAreValidatedByTheRootNamespace) {
    Document doc, unvalidated;
    doc.setSchemas(unitSchemas());
    unvalidated.setSchemas(std::make_shared<SchemaCache>());
    for (auto [d, text, valid] : std::vector<std::tuple<Document*, std::string, bool>>{
             {&doc, R"(<GetUnitInfo xmlns="urn:GetUnitInfo-schema" SerialNumber="SN1"/>)", true},
             {&doc, R"(<GetUnitInfo xmlns="urn:GetUnitInfo-schema" Serial="SN1"/>)", false},
             {&doc, R"(<GetUnitInfo xmlns="urn:else" Serial="SN1"/>)", true},
             {&doc, R"(<GetUnitInfo Serial="SN1"/>)", true},
             {&unvalidated, R"(<GetUnitInfo xmlns="urn:GetUnitInfo-schema" Serial="SN1"/>)", true}}) {
        SCOPED_TRACE(text);
        EXPECT_EQ(d->loadXML(text), valid) << d->parseError().reason;
        EXPECT_EQ(d->hasDocumentElement(), valid);
        EXPECT_EQ(d->parseError().errorCode != 0, !valid);
        EXPECT_TRUE(valid || d->parseError().reason.find("'Serial'") != std::string::npos) << d->parseError().reason;
    }
}

// ---------------------------------------------------------------------------
// Selection and the root attribute

TEST_F(XmlTest, SelectNodesAndRootAttribute) {
    Document doc;
    EXPECT_THROW(doc.selectNodes("//a"), Error);  // empty document
    EXPECT_THROW(doc.rootAttribute("SerialNumber"), Error);
    ASSERT_TRUE(doc.loadXML(R"(<R><DUT ID="1" STATUS="PASS"><n>a<i>b</i>c</n></DUT><X><DUT ID="2" STATUS="fail"/></X><DUT ID="3"/></R>)"));
    EXPECT_EQ(doc.selectNodes("//DUT/@ID | //DUT/@STATUS"), (Texts{"1", "PASS", "2", "fail", "3"}));
    EXPECT_EQ(doc.selectNodes("//n"), Texts{"abc"});
    for (const char* bad : {"//DUT[@ID=", "count(//DUT)", "//p:DUT"}) EXPECT_THROW(doc.selectNodes(bad), Error) << bad;

    // The root's own attributes only, by exact name.
    ASSERT_TRUE(doc.loadXML(R"(<U xmlns="urn:u" xmlns:p="urn:p" SerialNumber="S&amp;1" p:x="px" Empty=""><a x="no"/></U>)"));
    for (auto [name, value] : std::vector<std::pair<const char*, std::optional<std::string>>>{
             {"SerialNumber", "S&1"}, {"Empty", ""}, {"p:x", "px"}, {"serialnumber", std::nullopt}, {"x", std::nullopt}})
        EXPECT_EQ(doc.rootAttribute(name), value) << name;
}

// ---------------------------------------------------------------------------
// Transformation

TEST_F(XmlTest, CompiledStyleSheetIsDroppedOnReload) {
    Document sheet, doc;
    ASSERT_TRUE(doc.loadXML("<a v='2'/>"));
    ASSERT_TRUE(sheet.loadXML(rootSheet("one <xsl:value-of select='a/@v'/>")));
    EXPECT_EQ(doc.transformNode(sheet), "one 2");
    ASSERT_TRUE(sheet.loadXML(rootSheet("two <xsl:value-of select='a/@v'/>")));
    EXPECT_EQ(doc.transformNode(sheet), "two 2");
    EXPECT_FALSE(sheet.loadXML("<xsl:stylesheet"));  // a failed load empties the style sheet
    EXPECT_THROW(doc.transformNode(sheet), Error);
}

// Style sheets and schemas compiled from a file are shared by the process;
// a changed file (other size, or same size and a new time) is compiled anew.
TEST_F(XmlTest, SharedCompilationsFollowTheirFiles) {
    namespace fs = std::filesystem;
    const std::string sheetPath = dir_ + "/s.xsl", schemaPath = dir_ + "/u.xsd";
    auto schema = [](const std::string& use) {  // "required" and "optional" have the same length
        std::string s = kUnitSchema;
        const std::string station = "\"Station\" type=\"xs:string\"";
        return s.insert(s.find(station) + station.size(), " use=\"" + use + "\"");
    };
    auto transformed = [&] {
        Document sheet, doc;
        EXPECT_TRUE(sheet.load(sheetPath));
        EXPECT_TRUE(doc.loadXML("<a v='1'/>"));
        return doc.transformNode(sheet);
    };
    auto valid = [&] {
        auto cache = std::make_shared<SchemaCache>();
        cache->add("urn:GetUnitInfo-schema", schemaPath);
        Document doc;
        doc.setSchemas(cache);
        return doc.loadXML("<GetUnitInfo xmlns='urn:GetUnitInfo-schema' SerialNumber='1'/>");
    };
    // "two" has the sizes of "one": only the time tells.
    for (const auto& [word, use, sameSize] : std::vector<std::tuple<std::string, std::string, bool>>{
             {"one", "optional", false}, {"two", "required", true}, {"three", "optional", false}}) {
        const auto old = fs::exists(sheetPath) ? fs::last_write_time(sheetPath) : fs::file_time_type::min();
        write("s.xsl", rootSheet(word + " <xsl:value-of select='a/@v'/>"));
        write("u.xsd", schema(use));
        if (sameSize) {
            for (const auto& path : {sheetPath, schemaPath}) fs::last_write_time(path, old + std::chrono::seconds(5));
        }
        // Twice, the second from the shared compilation, and from two threads at once.
        std::string other;
        std::thread thread([&] { other = transformed(); });
        EXPECT_EQ(transformed(), word + " 1");
        thread.join();
        EXPECT_EQ(other, word + " 1");
        for (int i = 0; i < 2; ++i) EXPECT_EQ(valid(), use == "optional") << word;
    }
}

// transformAndLoad gives what loading the transformation's text gives: the
// same text, content, selections and parse error, whether the result tree is
// taken or the text is parsed again.
TEST_F(XmlTest, TransformAndLoadEqualsLoadingTheText) {
    auto schemas = unitSchemas();
    const std::string out = R"(<xsl:output method="xml" omit-xml-declaration="yes"/>)";
    const std::string unit = R"(<GetUnitInfo xmlns="urn:GetUnitInfo-schema" SerialNumber="{a/@v}"/>)";
    const struct {
        const char* what;
        std::string sheet;
    } cases[] = {
        {"valid", rootSheet("<!-- c -->" + unit, out)},
        {"invalid", rootSheet(R"(<GetUnitInfo xmlns="urn:GetUnitInfo-schema" Other="1"/>)", out)},
        {"no schema for it", rootSheet("<r a='&amp;'><s>x &lt; y</s></r>", out)},
        {"two roots", rootSheet("<r/><s/>", out)},
        {"text beside the root", rootSheet("t<r/>", out)},
        {"indented", rootSheet("<r><s>1</s></r>", R"(<xsl:output method="xml" indent="yes"/>)")},
        {"unescaped text", rootSheet(R"(<r><xsl:text disable-output-escaping="yes">&lt;s/&gt;</xsl:text></r>)", out)},
        {"text output", rootSheet("<r>plain</r>")},
    };
    for (const auto& c : cases) {
        Document style, taken, parsed;
        ASSERT_TRUE(style.loadXML(c.sheet)) << c.what;
        for (Document* d : {&taken, &parsed}) {
            d->setSchemas(schemas);
            ASSERT_TRUE(d->loadXML("<a v='SN1'/>"));
        }
        const std::string text = taken.transformAndLoad(style);
        EXPECT_EQ(text, parsed.transformNode(style)) << c.what;
        parsed.loadXML(text);
        EXPECT_EQ(taken.parseError().errorCode, parsed.parseError().errorCode) << c.what;
        EXPECT_EQ(taken.parseError().reason, parsed.parseError().reason) << c.what;
        EXPECT_EQ(taken.xml(), parsed.xml()) << c.what;
        if (parsed.hasDocumentElement()) {
            EXPECT_EQ(taken.selectNodes("//@* | //text()"), parsed.selectNodes("//@* | //text()")) << c.what;
        }
    }
}

// Text output is UTF-8 whatever the sheet declares; msxsl:node-set works.
TEST_F(XmlTest, OutputIsUtf8AndNodeSetWorks) {
    Document sheet, doc;
    ASSERT_TRUE(doc.loadXML("<a>\xC3\xBC\xE2\x82\xAC</a>"));
    const std::string latin = "<xsl:output method='xml' encoding='ISO-8859-1' omit-xml-declaration='yes'/>";
    ASSERT_TRUE(sheet.loadXML(rootSheet("<xsl:variable name='v'><i>x</i><i>y</i></xsl:variable><r><xsl:value-of "
                                        "select='a'/><xsl:for-each select='msxsl:node-set($v)/i'>[<xsl:value-of "
                                        "select='.'/>]</xsl:for-each></r>", latin)));
    EXPECT_EQ(doc.transformNode(sheet), "<r>\xC3\xBC\xE2\x82\xAC[x][y]</r>\n");
}

TEST_F(XmlTest, FailingStyleSheetsThrowWithTheirReason) {
    Document sheet, doc, empty;
    ASSERT_TRUE(doc.loadXML("<a/>"));
    EXPECT_THROW(doc.transformNode(sheet), Error);  // empty style sheet
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"<notastylesheet/>", ""},
        {rootSheet("<xsl:message terminate='yes'>stop here</xsl:message>"), "stop here"},
        {rootSheet("<xsl:value-of select='msxsl:nosuch(1)'/>"), "nosuch"},
        {textSheet("<xsl:template match='/' name='loop'><xsl:call-template name='loop'/></xsl:template>"),
         "recursion"},
    };
    for (const auto& [text, reason] : cases) {
        SCOPED_TRACE(text);
        ASSERT_TRUE(sheet.loadXML(text)) << sheet.parseError().reason;
        std::string got = errorOf([&] { doc.transformNode(sheet); });
        EXPECT_NE(got, "<no error>");
        EXPECT_NE(got.find(reason), std::string::npos) << got;
        EXPECT_THROW(doc.transformNode(sheet), Error);  // and again the next time
    }
    ASSERT_TRUE(sheet.loadXML(rootSheet("x")));
    EXPECT_THROW(empty.transformNode(sheet), Error);  // an empty document
}

TEST_F(XmlTest, IncludesResolveBesideTheStyleSheetAndScriptBlocksAreRefused) {
    const std::string scripted =
        "<xsl:stylesheet xmlns:xsl='http://www.w3.org/1999/XSL/Transform' version='1.0' "
        "xmlns:msxsl='urn:schemas-microsoft-com:xslt' xmlns:user='urn:user'>"
        "<msxsl:script language='JScript' implements-prefix='user'><![CDATA[function f() { return 1; }]]></msxsl:script>"
        "<xsl:output method='text'/><xsl:template match='/'>ok</xsl:template></xsl:stylesheet>";
    Document doc, sheet;
    ASSERT_TRUE(doc.loadXML("<a/>"));
    ASSERT_TRUE(sheet.loadXML(scripted));
    for (bool allow : {false, true}) {
        sheet.setProperty("AllowXsltScript", allow);
        std::string reason = errorOf([&] { doc.transformNode(sheet); });
        EXPECT_NE(reason.find("script"), std::string::npos) << allow << ": " << reason;
    }

    write("a folder/part.xsl", rootSheet("from part"));
    write("a folder/scripted.xsl", scripted);
    ASSERT_TRUE(sheet.load(write("a folder/main.xsl", textSheet("<xsl:include href='part.xsl'/>"))));
    EXPECT_EQ(doc.transformNode(sheet), "from part");
    // A script block that comes in through an include is refused too.
    ASSERT_TRUE(sheet.load(write("a folder/main.xsl", textSheet("<xsl:include href='scripted.xsl'/>"))));
    EXPECT_THROW(doc.transformNode(sheet), Error);
}

// ---------------------------------------------------------------------------
// Safety

TEST_F(XmlTest, EntityExpansionBombFailsCleanly) {
    // Exponential: ten levels of ten references each.
    std::string bomb = "<!DOCTYPE z [<!ENTITY e0 \"lollollollol\">";
    for (int i = 1; i <= 10; ++i) {
        bomb += "<!ENTITY e" + std::to_string(i) + " \"";
        for (int k = 0; k < 10; ++k) bomb += "&e" + std::to_string(i - 1) + ";";
        bomb += "\">";
    }
    bomb += "]><z>&e10;</z>";
    // Quadratic: one large entity referenced very often.
    std::string quadratic = "<!DOCTYPE q [<!ENTITY big \"" + std::string(100000, 'x') + "\">]><q>";
    for (int i = 0; i < 20000; ++i) quadratic += "&big;";
    quadratic += "</q>";
    for (bool externals : {false, true}) {
        for (const std::string* text : {&bomb, &quadratic}) {
            Document doc;
            doc.setResolveExternals(externals);
            EXPECT_FALSE(doc.loadXML(*text));
            EXPECT_NE(doc.parseError().errorCode, 0);
        }
    }
}

// External definitions come only from regular files inside the document's folder.
TEST_F(XmlTest, ExternalsOnlyFromTheFolder) {
    write("unit.dtd", "<!ATTLIST a sn CDATA 'SN-DEF'><!ENTITY inner SYSTEM 'entity.txt'>");
    write("entity.txt", "from file");
    write("sub/nested.txt", "nested");
    Document doc, plain;
    doc.setResolveExternals(true);
    doc.setExternalsFolder(dir_);
    for (const auto& [text, xpath, expected] : std::vector<std::tuple<std::string, std::string, std::string>>{
             {"<!DOCTYPE a SYSTEM 'unit.dtd'><a>&inner;</a>", "/a/@sn", "SN-DEF"},  // a default attribute
             {"<!DOCTYPE a SYSTEM 'unit.dtd'><a>&inner;</a>", "/a", "from file"},
             {"<!DOCTYPE a [<!ENTITY e SYSTEM '" + dir_ + "/sub/../entity.txt'>]><a>&e;</a>", "/a", "from file"},
             {"<!DOCTYPE a [<!ENTITY e SYSTEM 'file://" + dir_ + "/sub/nested.txt'>]><a>&e;</a>", "/a", "nested"}}) {
        SCOPED_TRACE(text);
        ASSERT_TRUE(doc.loadXML(text)) << doc.parseError().reason;
        EXPECT_EQ(doc.selectNodes(xpath), Texts{expected});
    }
    if (plain.loadXML("<!DOCTYPE a [<!ENTITY e SYSTEM 'entity.txt'>]><a>&e;</a>")) {
        EXPECT_EQ(plain.selectNodes("/a"), Texts{""});  // resolution off: not read
    }

    // A listener on loopback sees no connection for an http:// entity, DTD or document().
    int server = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(server, 0);
    sockaddr_in addr{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    ASSERT_EQ(bind(server, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(listen(server, 4), 0);
    socklen_t len = sizeof addr;
    ASSERT_EQ(getsockname(server, reinterpret_cast<sockaddr*>(&addr), &len), 0);
    const std::string url = "http://127.0.0.1:" + std::to_string(ntohs(addr.sin_port)) + "/x";

    // Anything else fails the load, and a FIFO or standard input is never opened (no hang).
    dz::test::TempDir elsewhere;
    elsewhere.write("secret", "secret");
    const std::string outside = elsewhere.file("secret");
    ASSERT_EQ(symlink(outside.c_str(), (dir_ + "/link.txt").c_str()), 0);
    ASSERT_EQ(mkfifo((dir_ + "/fifo").c_str(), 0600), 0);
    Document none;  // resolution on, but no folder
    none.setResolveExternals(true);
    for (const std::string& ref : {outside, "../" + std::filesystem::path(elsewhere.path()).filename().string() + "/secret",
                                   std::string("link.txt"), std::string("fifo"), std::string("/dev/stdin"),
                                   std::string("/proc/self/environ"), std::string("file://" + outside),
                                   std::string("missing.txt"), url}) {
        for (const std::string& text : {"<!DOCTYPE a [<!ENTITY e SYSTEM '" + ref + "'>]><a>&e;</a>",
                                        "<!DOCTYPE a SYSTEM '" + ref + "'><a/>"}) {
            SCOPED_TRACE(text);
            EXPECT_FALSE(doc.loadXML(text));
            EXPECT_NE(doc.parseError().reason.find("external definition refused: "), std::string::npos)
                << doc.parseError().reason;
        }
    }
    EXPECT_FALSE(none.loadXML("<!DOCTYPE a SYSTEM '" + dir_ + "/unit.dtd'><a/>"));

    Document sheet;
    ASSERT_TRUE(sheet.loadXML(rootSheet("<xsl:value-of select=\"document('" + url + "')\"/>")));
    ASSERT_TRUE(doc.loadXML("<a/>"));
    errorOf([&] { doc.transformNode(sheet); });

    fcntl(server, F_SETFL, O_NONBLOCK);
    int client = accept(server, nullptr, nullptr);
    EXPECT_LT(client, 0) << "a network connection was made";
    if (client >= 0) close(client);
    close(server);
}

TEST_F(XmlTest, ThreadsKeepTheirOwnParseErrors) {
    auto cache = unitSchemas();
    std::atomic<int> faults{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            Document doc, bad;
            doc.setSchemas(cache);
            const std::string name = "x" + std::to_string(t);
            for (int i = 0; i < 50; ++i) {
                if (!doc.loadXML("<GetUnitInfo xmlns='urn:GetUnitInfo-schema' SerialNumber='1'/>")) ++faults;
                if (bad.loadXML("<" + name + "></y>") || bad.parseError().reason.find(name) == std::string::npos) ++faults;
            }
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(faults.load(), 0);
}

// ---------------------------------------------------------------------------
// The site's files

struct Site {
    Site() {
        results->add("urn:SaveResult-schema", sitePath("SaveResult.xsd"));
        unitInfo->add("urn:GetUnitInfo-schema", sitePath("GetUnitInfo.xsd"));
        resultSheet.load(sitePath("DEZozevo.xsl"));
        headerSheet.load(sitePath("GetHeader.xsl"));
    }

    // The tester's text transformed by `sheet`.
    std::string transform(const std::string& raw, Document& sheet) {
        Document in;
        EXPECT_TRUE(in.loadXML(raw)) << in.parseError().reason;
        return in.transformNode(sheet);
    }
    // Whether `text` loads into `doc` validating against `schemas`.
    bool valid(const std::string& text, const std::shared_ptr<SchemaCache>& schemas) {
        doc.setSchemas(schemas);
        doc.loadXML(text);
        return doc.parseError().errorCode == 0;
    }

    std::shared_ptr<SchemaCache> results = std::make_shared<SchemaCache>();
    std::shared_ptr<SchemaCache> unitInfo = std::make_shared<SchemaCache>();
    Document resultSheet, headerSheet, doc;
};

std::string run(const std::string& dutAttrs, const std::string& runAttrs = "Station=\"FCT-01\"",
                const std::string& ns = "") {
    return "<TestRun" + ns + " " + runAttrs + "><DUT " + dutAttrs +
           "><Step Name=\"Vout\" Status=\"PASS\"><Measurement Name=\"Vout\" Value=\"12.03\" Unit=\"V\" "
           "Low=\"11.4\" High=\"12.6\"/></Step><Step Name=\"Iin\" Status=\"Fail\"/></DUT></TestRun>";
}

// Transformed results and unit requests the schemas accept, and what they refuse.
TEST(SiteFiles, SchemasAcceptWhatTheMesCanUseOnly) {
    Site s;
    const std::pair<std::string, bool> results[] = {
        {run("ID=\"SN1\" STATUS=\"terminate\"", "Station=\"ST\"", " xmlns=\"urn:tester\""), true},  // any status
        {"<TestRun Station=\"ICT-01\"><DUT ID=\"A\" STATUS=\"PASS\"/><DUT ID=\"B\" STATUS=\"FAIL\"/></TestRun>", true},
        {run("STATUS=\"PASS\""), false},
        {run("ID=\"SN1\""), false},
        {run("ID=\"\" STATUS=\"PASS\""), false},
        {run("ID=\"SN1\" STATUS=\"PASS\"", ""), false},  // no station
        {run("ID=\"SN1\" STATUS=\"PASS\"", "Station=\"S\" Start=\"7 March\""), false},
        {"<TestRun Station=\"S\"/>", false},
    };
    for (const auto& [raw, valid] : results)
        EXPECT_EQ(s.valid(s.transform(raw, s.resultSheet), s.results), valid) << raw << s.doc.parseError().reason;
    // The unit-info tests use the request schema's accepted forms; these are refused too.
    for (const char* attrs : {" SerialNumber=\"\"", " SerialNumber=\"SN1\" Color=\"red\""})
        EXPECT_FALSE(s.valid("<GetUnitInfo xmlns=\"urn:GetUnitInfo-schema\"" + std::string(attrs) + "/>", s.unitInfo))
            << attrs;
}

// The sheets' exact text. The result sheet matches elements by local name in
// any namespace and at any depth below unknown ones, copies attributes only
// when written and leaves everything else (text, comments, other elements)
// out; the header names the station, the units and the step counts.
TEST(SiteFiles, SheetsWriteExactlyThisText) {
    Site s;
    const std::string odd = R"(<?xml version="1.0" encoding="utf-8"?>
<!-- leading comment -->
<Wrapper xmlns:t="urn:tester">
  <?pi some?>
  loose text &amp; more
  <t:TestRun Station="FCT-01" Operator="o'brien &amp; &lt;co&gt;" Start="2026-03-07T14:05:09" Extra="x">
    <t:DUT ID="SN1" STATUS="PASS" Slot="2">
      text inside DUT
      <Step Name="A" Status="PASS"><Measurement Name="m" Value="1 &quot;q&quot;" Status="PASS"/><!-- c --><Note>n</Note></Step>
      <t:Step Name="B" Duration="1.5"><t:Measurement Name="n" Value="é€😀"/></t:Step>
      <Other><Step Name="hidden"/></Other>
    </t:DUT>
    <DUT ID="SN2" STATUS="FAIL"/>
    <Step Name="stray"/>
  </t:TestRun>
  <TestRun Station="S2"><DUT ID="SN3" STATUS="TERMINATE"><Measurement Name="direct" Value="1"/></DUT></TestRun>
  <DUT ID="loose" STATUS="PASS"/>
</Wrapper>)";
    const struct {
        std::string raw;
        Document& sheet;
        std::string expected;
    } cases[] = {
        {dz::test::readFile(sitePath("SampleResult.xml")), s.resultSheet,
         R"(<sr:TestResult xmlns:sr="urn:SaveResult-schema" STATION="FCT-01" OPERATOR="jdoe" PROGRAM="FCT-5000" )"
         R"(VERSION="3.1.0" FIXTURE="FX-FCT-07" START="2026-03-07T14:05:09" END="2026-03-07T14:06:31">)"
         R"(<DUT ID="SN24001-0003" STATUS="PASS" PARTNUMBER="ASM-5000" REVISION="C">)"
         R"(<STEP NAME="Supply current" STATUS="PASS" DURATION="2.4"><MEASUREMENT NAME="Iin" VALUE="0.412" UNIT="A" )"
         R"(LOW="0.300" HIGH="0.600" STATUS="PASS"/></STEP><STEP NAME="Output voltage" STATUS="PASS" DURATION="1.1">)"
         R"(<MEASUREMENT NAME="Vout" VALUE="12.03" UNIT="V" LOW="11.40" HIGH="12.60" STATUS="PASS"/>)"
         R"(<MEASUREMENT NAME="Ripple" VALUE="38" UNIT="mV" HIGH="50" STATUS="PASS"/></STEP>)"
         R"(<STEP NAME="Firmware version" STATUS="PASS" DURATION="0.3"><MEASUREMENT NAME="Version" VALUE="FW-2.4.1" )"
         R"(STATUS="PASS"/></STEP></DUT></sr:TestResult>)"},
        {odd, s.resultSheet,
         R"(<sr:TestResult xmlns:sr="urn:SaveResult-schema" STATION="FCT-01" OPERATOR="o'brien &amp; &lt;co&gt;" )"
         R"(START="2026-03-07T14:05:09"><DUT ID="SN1" STATUS="PASS" SLOT="2"><STEP NAME="A" STATUS="PASS">)"
         R"(<MEASUREMENT NAME="m" VALUE="1 &quot;q&quot;" STATUS="PASS"/></STEP><STEP NAME="B" DURATION="1.5">)"
         R"(<MEASUREMENT NAME="n" VALUE="é€😀"/></STEP></DUT><DUT ID="SN2" STATUS="FAIL"/></sr:TestResult>)"
         R"(<sr:TestResult xmlns:sr="urn:SaveResult-schema" STATION="S2"><DUT ID="SN3" STATUS="TERMINATE"/>)"
         R"(</sr:TestResult><DUT xmlns:sr="urn:SaveResult-schema" ID="loose" STATUS="PASS"/>)"},
        {run("ID=\"SN1\" STATUS=\"FAIL\"", "Station=\"FINAL-01\" Start=\"2026-03-07T10:00:00\""), s.headerSheet,
         R"(<TestResultHeader STATION="FINAL-01" START="2026-03-07T10:00:00" END="" STEPS="2" FAILEDSTEPS="1">)"
         R"(<DUT ID="SN1" STATUS="FAIL"/></TestResultHeader>)"},
    };
    for (const auto& c : cases) EXPECT_EQ(s.transform(c.raw, c.sheet), c.expected);
}

}  // namespace
