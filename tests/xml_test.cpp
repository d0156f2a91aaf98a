// XML services: loading, parse errors, schema validation by root namespace,
// XPath selection, XSLT transformation and the safety rules around them.
#include "platform/xml/xml.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

namespace {

using dz::xml::Document;
using dz::xml::Error;
using dz::xml::SchemaCache;
using Texts = std::vector<std::string>;

class XmlTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/dz-xml-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    std::string write(const std::string& name, const std::string& content) {
        std::string path = dir_ + "/" + name;
        std::ofstream(path, std::ios::binary) << content;
        return path;
    }

    std::string dir_;
};

const char* kUnitSchema = R"(<?xml version="1.0"?>
<xs:schema xmlns:xs="http://www.w3.org/2001/XMLSchema" targetNamespace="urn:GetUnitInfo-schema"
           xmlns="urn:GetUnitInfo-schema" elementFormDefault="qualified">
  <xs:element name="GetUnitInfo">
    <xs:complexType>
      <xs:attribute name="SerialNumber" type="xs:string" use="required"/>
      <xs:attribute name="Station" type="xs:string"/>
    </xs:complexType>
  </xs:element>
</xs:schema>)";

// Same shape as the component's built-in unit-info style sheet.
const char* kUnitStyleSheet =
    R"(<xsl:stylesheet xmlns:xsl = "http://www.w3.org/1999/XSL/Transform" xmlns:t="urn:GetUnitInfo-schema" )"
    R"(xmlns:ms="urn:schemas-microsoft-com:xslt" version="1.0">)"
    R"(<xsl:output method="xml" version="1.0" encoding="utf-8"/>)"
    R"(<xsl:template match="/t:GetUnitInfo"><xsl:element name="SerialNumber"><xsl:for-each select="@*">)"
    R"(<xsl:element name="S"><xsl:attribute name="Descr"><xsl:text>ANY</xsl:text></xsl:attribute>)"
    R"x(<xsl:value-of select="current()" /></xsl:element></xsl:for-each></xsl:element></xsl:template>)x"
    R"(</xsl:stylesheet>)";

std::string textSheet(const std::string& body) {
    return R"(<xsl:stylesheet xmlns:xsl="http://www.w3.org/1999/XSL/Transform" version="1.0" )"
           R"(xmlns:msxsl="urn:schemas-microsoft-com:xslt"><xsl:output method="text"/>)" +
           body + "</xsl:stylesheet>";
}

// ---------------------------------------------------------------------------
// Loading and parse errors

TEST_F(XmlTest, LoadReplacesContentAndReportsErrors) {
    Document doc;
    EXPECT_FALSE(doc.hasDocumentElement());
    EXPECT_EQ(doc.xml(), "");

    ASSERT_TRUE(doc.loadXML("<a x=\"1\"><b>t</b></a>"));
    EXPECT_EQ(doc.parseError().errorCode, 0);
    EXPECT_EQ(doc.parseError().reason, "");
    EXPECT_EQ(doc.xml(), "<a x=\"1\"><b>t</b></a>");

    EXPECT_FALSE(doc.loadXML("<a>\n<b></a>"));
    EXPECT_NE(doc.parseError().errorCode, 0);
    EXPECT_NE(doc.parseError().reason.find("line 2"), std::string::npos) << doc.parseError().reason;
    EXPECT_NE(doc.parseError().reason.find("mismatch"), std::string::npos) << doc.parseError().reason;
    EXPECT_FALSE(doc.hasDocumentElement());
    EXPECT_EQ(doc.xml(), "");

    ASSERT_TRUE(doc.loadXML("<c/>"));
    EXPECT_EQ(doc.parseError().errorCode, 0);
    EXPECT_EQ(doc.xml(), "<c/>");

    for (const char* bad : {"", "   ", "not xml", "<a><a>", "<p:a/>", "<a/><b/>"}) {
        EXPECT_FALSE(doc.loadXML(bad)) << bad;
        EXPECT_NE(doc.parseError().errorCode, 0) << bad;
        EXPECT_FALSE(doc.parseError().reason.empty()) << bad;
        EXPECT_FALSE(doc.hasDocumentElement()) << bad;
    }
}

TEST_F(XmlTest, ErrorsAreNotPrintedToStderr) {
    Document doc, sheet;
    ::testing::internal::CaptureStderr();
    doc.loadXML("<a><b></a>");
    sheet.loadXML("<xsl:stylesheet xmlns:xsl='http://www.w3.org/1999/XSL/Transform' version='1.0'><xsl:bogus/></xsl:stylesheet>");
    doc.loadXML("<a/>");
    EXPECT_THROW(doc.transformNode(sheet), Error);
    EXPECT_THROW(doc.selectNodes("//["), Error);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
}

TEST_F(XmlTest, TextIsUtf8WhateverItsDeclarationSays) {
    Document doc;
    for (const char* decl : {"<?xml version=\"1.0\" encoding=\"UTF-16\"?>",
                             "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>", "\xEF\xBB\xBF", ""}) {
        std::string text = std::string(decl) + "<a v=\"\xC3\xBC\">\xE2\x82\xAC</a>";
        ASSERT_TRUE(doc.loadXML(text)) << decl << ": " << doc.parseError().reason;
        EXPECT_EQ(doc.selectNodes("/a"), Texts{"\xE2\x82\xAC"});
        EXPECT_EQ(doc.rootAttribute("v"), "\xC3\xBC");
    }
    EXPECT_FALSE(doc.loadXML("<a>\xFF</a>"));  // not UTF-8
}

TEST_F(XmlTest, LoadFromFileHonoursTheFileEncoding) {
    Document doc;
    std::string latin = write("latin.xml", "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><a>\xFC</a>");
    ASSERT_TRUE(doc.load(latin)) << doc.parseError().reason;
    EXPECT_EQ(doc.selectNodes("/a"), Texts{"\xC3\xBC"});

    std::string missing = dir_ + "/missing.xml";
    EXPECT_FALSE(doc.load(missing));
    EXPECT_NE(doc.parseError().errorCode, 0);
    EXPECT_NE(doc.parseError().reason.find(missing), std::string::npos);
    EXPECT_FALSE(doc.hasDocumentElement());
}

// ---------------------------------------------------------------------------
// Schema caches

TEST_F(XmlTest, SchemaAddReadsTheFileNow) {
    SchemaCache cache;
    EXPECT_EQ(cache.length(), 0u);
    std::string good = write("unit.xsd", kUnitSchema);
    cache.add("urn:GetUnitInfo-schema", good);
    EXPECT_EQ(cache.length(), 1u);
    EXPECT_TRUE(cache.has("urn:GetUnitInfo-schema"));
    EXPECT_FALSE(cache.has("urn:other"));

    cache.add("urn:GetUnitInfo-schema", good);  // replaces, one schema per namespace
    EXPECT_EQ(cache.length(), 1u);

    try {
        cache.add("urn:x", dir_ + "/none.xsd");
        FAIL() << "missing file accepted";
    } catch (const Error& e) {
        EXPECT_NE(e.description().find("none.xsd"), std::string::npos) << e.description();
    }
    std::string broken = write("broken.xsd", "<xs:schema xmlns:xs='http://www.w3.org/2001/XMLSchema'><xs:element/>");
    EXPECT_THROW(cache.add("", broken), Error);
    std::string wrong = write("wrong.xsd",
                              "<xs:schema xmlns:xs='http://www.w3.org/2001/XMLSchema'><xs:element name='a' "
                              "type='nosuch'/></xs:schema>");
    EXPECT_THROW(cache.add("", wrong), Error);
    // The schema's target namespace must be the one it is filed under.
    EXPECT_THROW(cache.add("urn:other", good), Error);
    EXPECT_EQ(cache.length(), 1u);
}

TEST_F(XmlTest, LoadsAreValidatedByTheRootNamespace) {
    auto cache = std::make_shared<SchemaCache>();
    cache->add("urn:GetUnitInfo-schema", write("unit.xsd", kUnitSchema));
    Document doc, other;
    doc.setSchemas(cache);
    other.setSchemas(cache);
    EXPECT_EQ(doc.schemas(), cache);

    ASSERT_TRUE(doc.loadXML(R"(<GetUnitInfo xmlns="urn:GetUnitInfo-schema" SerialNumber="SN1"/>)"))
        << doc.parseError().reason;
    EXPECT_EQ(doc.rootAttribute("SerialNumber"), "SN1");

    EXPECT_FALSE(doc.loadXML(R"(<GetUnitInfo xmlns="urn:GetUnitInfo-schema" Serial="SN1"/>)"));
    EXPECT_NE(doc.parseError().errorCode, 0);
    EXPECT_NE(doc.parseError().reason.find("'Serial'"), std::string::npos) << doc.parseError().reason;
    EXPECT_FALSE(doc.hasDocumentElement());

    EXPECT_FALSE(other.loadXML(R"(<GetUnitInfo xmlns="urn:GetUnitInfo-schema" SerialNumber="1"><x/></GetUnitInfo>)"));
    EXPECT_NE(other.parseError().errorCode, 0);

    // A root namespace without a schema, or no namespace at all, is not validated.
    EXPECT_TRUE(doc.loadXML(R"(<GetUnitInfo xmlns="urn:else" Serial="SN1"/>)"));
    EXPECT_TRUE(doc.loadXML(R"(<GetUnitInfo Serial="SN1"/>)"));
    EXPECT_EQ(doc.parseError().errorCode, 0);

    Document unvalidated;
    unvalidated.setSchemas(std::make_shared<SchemaCache>());
    EXPECT_TRUE(unvalidated.loadXML(R"(<GetUnitInfo xmlns="urn:GetUnitInfo-schema" Serial="SN1"/>)"));
}

TEST_F(XmlTest, SchemaForUnqualifiedChildren) {
    // A result schema in the usual shape: namespaced root, unqualified children.
    const char* xsd = R"(<xs:schema xmlns:xs="http://www.w3.org/2001/XMLSchema" targetNamespace="urn:SaveResult-schema">
      <xs:element name="Result"><xs:complexType><xs:sequence>
        <xs:element name="DUT" maxOccurs="unbounded"><xs:complexType>
          <xs:attribute name="ID" type="xs:string" use="required"/>
          <xs:attribute name="STATUS" type="xs:string"/>
        </xs:complexType></xs:element>
      </xs:sequence></xs:complexType></xs:element></xs:schema>)";
    auto cache = std::make_shared<SchemaCache>();
    cache->add("urn:SaveResult-schema", write("result.xsd", xsd));
    Document doc;
    doc.setSchemas(cache);
    ASSERT_TRUE(doc.loadXML(R"(<r:Result xmlns:r="urn:SaveResult-schema"><DUT ID="U1" STATUS="PASS"/><DUT ID="U2"/></r:Result>)"))
        << doc.parseError().reason;
    EXPECT_EQ(doc.selectNodes("//DUT/@STATUS"), Texts{"PASS"});
    EXPECT_EQ(doc.selectNodes("//DUT/@ID"), (Texts{"U1", "U2"}));
    EXPECT_FALSE(doc.loadXML(R"(<r:Result xmlns:r="urn:SaveResult-schema"><DUT STATUS="PASS"/></r:Result>)"));
    EXPECT_NE(doc.parseError().reason.find("ID"), std::string::npos) << doc.parseError().reason;
}

// ---------------------------------------------------------------------------
// Selection and the root attribute

TEST_F(XmlTest, SelectNodesGivesTextsInDocumentOrder) {
    Document doc;
    EXPECT_THROW(doc.selectNodes("//a"), Error);  // empty document
    ASSERT_TRUE(doc.loadXML(R"(<R><DUT ID="1" STATUS="PASS"><n>a<i>b</i>c</n></DUT><X><DUT ID="2" STATUS="fail"/></X><DUT ID="3"/></R>)"));
    EXPECT_EQ(doc.selectNodes("//DUT/@STATUS"), (Texts{"PASS", "fail"}));
    EXPECT_EQ(doc.selectNodes("//DUT/@ID | //DUT/@STATUS"), (Texts{"1", "PASS", "2", "fail", "3"}));
    EXPECT_EQ(doc.selectNodes("//n"), Texts{"abc"});
    EXPECT_EQ(doc.selectNodes("//n/text()"), (Texts{"a", "c"}));
    EXPECT_TRUE(doc.selectNodes("//NONE/@ID").empty());
    EXPECT_THROW(doc.selectNodes("//DUT[@ID="), Error);
    EXPECT_THROW(doc.selectNodes("count(//DUT)"), Error);
    EXPECT_THROW(doc.selectNodes("//p:DUT"), Error);  // prefixes are not bound

    // XPath 1.0: an unprefixed name matches elements without a namespace only.
    ASSERT_TRUE(doc.loadXML(R"(<R xmlns="urn:x"><DUT ID="1"/></R>)"));
    EXPECT_TRUE(doc.selectNodes("//DUT/@ID").empty());
    EXPECT_EQ(doc.selectNodes("//*[local-name()='DUT']/@ID"), Texts{"1"});
}

TEST_F(XmlTest, RootAttribute) {
    Document doc;
    EXPECT_THROW(doc.rootAttribute("SerialNumber"), Error);
    ASSERT_TRUE(doc.loadXML(R"(<GetUnitInfo xmlns="urn:u" xmlns:p="urn:p" SerialNumber="S&amp;1" p:x="px" Empty=""><a SerialNumber="no"/></GetUnitInfo>)"));
    EXPECT_EQ(doc.rootAttribute("SerialNumber"), "S&1");
    EXPECT_EQ(doc.rootAttribute("Empty"), "");
    EXPECT_EQ(doc.rootAttribute("p:x"), "px");
    EXPECT_EQ(doc.rootAttribute("xmlns"), "urn:u");
    EXPECT_EQ(doc.rootAttribute("serialnumber"), std::nullopt);
    EXPECT_EQ(doc.rootAttribute("x"), std::nullopt);
    doc.loadXML("<broken");
    EXPECT_THROW(doc.rootAttribute("SerialNumber"), Error);
}

// ---------------------------------------------------------------------------
// Transformation

TEST_F(XmlTest, UnitInfoStyleSheetShape) {
    Document sheet, request;
    ASSERT_TRUE(sheet.loadXML(kUnitStyleSheet)) << sheet.parseError().reason;
    sheet.setProperty("AllowXsltScript", true);
    ASSERT_TRUE(request.loadXML(R"(<GetUnitInfo xmlns="urn:GetUnitInfo-schema" SerialNumber="SN1" Station="ST&lt;2"/>)"));
    std::string out = request.transformNode(sheet);
    EXPECT_EQ(out, "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
                   "<SerialNumber><S Descr=\"ANY\">SN1</S><S Descr=\"ANY\">ST&lt;2</S></SerialNumber>\n");

    // A root outside the namespace matches no template: only the declaration and no element.
    ASSERT_TRUE(request.loadXML(R"(<GetUnitInfo SerialNumber="SN1"/>)"));
    EXPECT_EQ(request.transformNode(sheet).find("SerialNumber"), std::string::npos);
}

TEST_F(XmlTest, CompiledStyleSheetIsDroppedOnReload) {
    Document sheet, doc;
    ASSERT_TRUE(doc.loadXML("<a v='1'/>"));
    ASSERT_TRUE(sheet.loadXML(textSheet("<xsl:template match='/'>one <xsl:value-of select='a/@v'/></xsl:template>")));
    EXPECT_EQ(doc.transformNode(sheet), "one 1");
    ASSERT_TRUE(doc.loadXML("<a v='2'/>"));
    EXPECT_EQ(doc.transformNode(sheet), "one 2");

    ASSERT_TRUE(sheet.loadXML(textSheet("<xsl:template match='/'>two <xsl:value-of select='a/@v'/></xsl:template>")));
    EXPECT_EQ(doc.transformNode(sheet), "two 2");

    std::string path = write("three.xsl", textSheet("<xsl:template match='/'>three</xsl:template>"));
    ASSERT_TRUE(sheet.load(path));
    EXPECT_EQ(doc.transformNode(sheet), "three");

    // A failed load empties the style sheet.
    EXPECT_FALSE(sheet.loadXML("<xsl:stylesheet"));
    EXPECT_THROW(doc.transformNode(sheet), Error);
}

TEST_F(XmlTest, OutputIsUtf8AndFollowsXslOutput) {
    Document sheet, doc;
    ASSERT_TRUE(doc.loadXML("<a>\xC3\xBC\xE2\x82\xAC</a>"));
    ASSERT_TRUE(sheet.loadXML(
        "<xsl:stylesheet xmlns:xsl='http://www.w3.org/1999/XSL/Transform' version='1.0'>"
        "<xsl:output method='xml' encoding='ISO-8859-1' omit-xml-declaration='yes'/>"
        "<xsl:template match='/'><r><xsl:value-of select='a'/></r></xsl:template></xsl:stylesheet>"));
    EXPECT_EQ(doc.transformNode(sheet), "<r>\xC3\xBC\xE2\x82\xAC</r>\n");

    ASSERT_TRUE(sheet.loadXML(
        "<xsl:stylesheet xmlns:xsl='http://www.w3.org/1999/XSL/Transform' version='1.0'>"
        "<xsl:output encoding='UTF-16'/><xsl:template match='/'><r/></xsl:template></xsl:stylesheet>"));
    std::string out = doc.transformNode(sheet);
    EXPECT_NE(out.find("<r/>"), std::string::npos) << out;
    EXPECT_EQ(out.find("UTF-16"), std::string::npos) << out;

    ASSERT_TRUE(sheet.loadXML(textSheet("<xsl:template match='/'/>")));
    EXPECT_EQ(doc.transformNode(sheet), "");
}

TEST_F(XmlTest, NodeSetFunctionOfSiteStyleSheets) {
    Document sheet, doc;
    ASSERT_TRUE(doc.loadXML("<a/>"));
    ASSERT_TRUE(sheet.loadXML(textSheet(
        "<xsl:variable name='v'><i>x</i><i>y</i></xsl:variable>"
        "<xsl:template match='/'><xsl:for-each select='msxsl:node-set($v)/i'>[<xsl:value-of select='.'/>]"
        "</xsl:for-each></xsl:template>")));
    EXPECT_EQ(doc.transformNode(sheet), "[x][y]");
}

TEST_F(XmlTest, FailingStyleSheetsThrow) {
    Document sheet, doc;
    ASSERT_TRUE(doc.loadXML("<a/>"));
    EXPECT_THROW(doc.transformNode(sheet), Error);  // empty style sheet

    auto reasonOf = [&](const std::string& text) -> std::string {
        EXPECT_TRUE(sheet.loadXML(text)) << sheet.parseError().reason;
        try {
            doc.transformNode(sheet);
        } catch (const Error& e) {
            return e.description();
        }
        return "(no error)";
    };
    EXPECT_NE(reasonOf("<notastylesheet/>"), "(no error)");
    EXPECT_NE(reasonOf(textSheet("<xsl:template match='/'><xsl:value-of/></xsl:template>")), "(no error)");
    EXPECT_NE(reasonOf(textSheet("<xsl:template match='/'><xsl:value-of select='(('/></xsl:template>")), "(no error)");
    std::string stopped = reasonOf(textSheet("<xsl:template match='/'><xsl:message terminate='yes'>stop here</xsl:message></xsl:template>"));
    EXPECT_NE(stopped.find("stop here"), std::string::npos) << stopped;
    std::string unknown = reasonOf(textSheet("<xsl:template match='/'><xsl:value-of select='msxsl:nosuch(1)'/></xsl:template>"));
    EXPECT_NE(unknown.find("nosuch"), std::string::npos) << unknown;
    std::string endless = reasonOf(textSheet("<xsl:template match='/' name='loop'><xsl:call-template name='loop'/></xsl:template>"));
    EXPECT_NE(endless.find("recursion"), std::string::npos) << endless;
    // A style sheet that failed still fails the next time.
    EXPECT_THROW(doc.transformNode(sheet), Error);

    // An empty document cannot be transformed.
    Document empty;
    ASSERT_TRUE(sheet.loadXML(textSheet("<xsl:template match='/'>x</xsl:template>")));
    EXPECT_THROW(empty.transformNode(sheet), Error);
}

TEST_F(XmlTest, ScriptBlocksAreRefused) {
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
        try {
            doc.transformNode(sheet);
            FAIL() << "script block accepted";
        } catch (const Error& e) {
            EXPECT_NE(e.description().find("script"), std::string::npos) << e.description();
        }
    }

    // Also when the block comes in through an included style sheet.
    write("scripted.xsl", scripted);
    std::string main = write("main.xsl",
                             "<xsl:stylesheet xmlns:xsl='http://www.w3.org/1999/XSL/Transform' version='1.0'>"
                             "<xsl:include href='scripted.xsl'/></xsl:stylesheet>");
    ASSERT_TRUE(sheet.load(main)) << sheet.parseError().reason;
    EXPECT_THROW(doc.transformNode(sheet), Error);
}

TEST_F(XmlTest, IncludesResolveBesideTheStyleSheetFile) {
    std::filesystem::create_directory(dir_ + "/a folder");
    write("a folder/part.xsl", textSheet("<xsl:template match='/'>from part</xsl:template>"));
    std::string main = write("a folder/main.xsl",
                             "<xsl:stylesheet xmlns:xsl='http://www.w3.org/1999/XSL/Transform' version='1.0'>"
                             "<xsl:include href='part.xsl'/></xsl:stylesheet>");
    Document doc, sheet;
    ASSERT_TRUE(doc.loadXML("<a/>"));
    ASSERT_TRUE(sheet.load(main)) << sheet.parseError().reason;
    EXPECT_EQ(doc.transformNode(sheet), "from part");
}

// ---------------------------------------------------------------------------
// Safety

TEST_F(XmlTest, EntityExpansionBombFailsCleanly) {
    std::string bomb = "<?xml version=\"1.0\"?><!DOCTYPE lolz [<!ENTITY lol \"lollollollollollollollollollol\">";
    std::string prev = "lol";
    for (int i = 1; i <= 9; ++i) {
        std::string name = "lol" + std::to_string(i);
        bomb += "<!ENTITY " + name + " \"";
        for (int k = 0; k < 10; ++k) bomb += "&" + prev + ";";
        bomb += "\">";
        prev = name;
    }
    bomb += "]><lolz>&" + prev + ";</lolz>";
    // Quadratic blow-up: one large entity referenced very often.
    std::string quadratic = "<!DOCTYPE q [<!ENTITY big \"" + std::string(100000, 'x') + "\">]><q>";
    for (int i = 0; i < 20000; ++i) quadratic += "&big;";
    quadratic += "</q>";
    for (bool externals : {false, true}) {
        for (const std::string* text : {&bomb, &quadratic}) {
            Document doc;
            doc.setResolveExternals(externals);
            EXPECT_FALSE(doc.loadXML(*text));
            EXPECT_NE(doc.parseError().errorCode, 0);
            EXPECT_FALSE(doc.parseError().reason.empty());
            EXPECT_FALSE(doc.hasDocumentElement());
        }
    }
}

TEST_F(XmlTest, ExternalsAreLocalOnly) {
    std::string entity = write("entity.txt", "from file");
    std::string local = "<!DOCTYPE a [<!ENTITY e SYSTEM \"" + entity + "\">]><a>&e;</a>";

    Document doc;
    doc.setResolveExternals(true);
    ASSERT_TRUE(doc.loadXML(local)) << doc.parseError().reason;
    EXPECT_EQ(doc.selectNodes("/a"), Texts{"from file"});

    Document plain;  // resolution off: the file is not read
    if (plain.loadXML(local)) {
        EXPECT_EQ(plain.selectNodes("/a"), Texts{""});
    }

    // Internal entities are always expanded.
    ASSERT_TRUE(plain.loadXML("<!DOCTYPE a [<!ENTITY e \"inner\">]><a>&e;</a>"));
    EXPECT_EQ(plain.selectNodes("/a/text()"), Texts{"inner"});

    // A listener on loopback sees no connection for an http:// entity or DTD.
    int server = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(server, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(server, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(listen(server, 4), 0);
    socklen_t len = sizeof addr;
    ASSERT_EQ(getsockname(server, reinterpret_cast<sockaddr*>(&addr), &len), 0);
    std::string url = "http://127.0.0.1:" + std::to_string(ntohs(addr.sin_port)) + "/x";

    for (const std::string& text : {"<!DOCTYPE a [<!ENTITY e SYSTEM \"" + url + "\">]><a>&e;</a>",
                                    "<!DOCTYPE a SYSTEM \"" + url + "\"><a/>"}) {
        if (doc.loadXML(text)) {
            EXPECT_EQ(doc.selectNodes("/a"), Texts{""});
        }
    }
    Document sheet;
    ASSERT_TRUE(sheet.loadXML(textSheet("<xsl:template match='/'><xsl:value-of select=\"document('" + url + "')\"/></xsl:template>")));
    ASSERT_TRUE(doc.loadXML("<a/>"));
    try {
        doc.transformNode(sheet);
    } catch (const Error&) {
    }

    fcntl(server, F_SETFL, O_NONBLOCK);
    int client = accept(server, nullptr, nullptr);
    EXPECT_LT(client, 0) << "a network connection was made";
    if (client >= 0) close(client);
    close(server);
}

TEST_F(XmlTest, ThreadsUseTheirOwnDocuments) {
    auto cache = std::make_shared<SchemaCache>();
    cache->add("urn:GetUnitInfo-schema", write("unit.xsd", kUnitSchema));
    std::atomic<int> faults{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            Document sheet, doc, bad;
            doc.setSchemas(cache);
            if (!sheet.loadXML(kUnitStyleSheet)) ++faults;
            for (int i = 0; i < 50; ++i) {
                std::string sn = "T" + std::to_string(t) + "-" + std::to_string(i);
                if (!doc.loadXML("<GetUnitInfo xmlns='urn:GetUnitInfo-schema' SerialNumber='" + sn + "'/>")) ++faults;
                if (doc.transformNode(sheet).find(">" + sn + "<") == std::string::npos) ++faults;
                if (bad.loadXML("<x" + std::to_string(t) + "></y>")) ++faults;
                if (bad.parseError().reason.find("x" + std::to_string(t)) == std::string::npos) ++faults;
                if (doc.loadXML("<GetUnitInfo xmlns='urn:GetUnitInfo-schema'/>")) ++faults;
                try {
                    doc.selectNodes("((");
                    ++faults;
                } catch (const Error&) {
                }
            }
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(faults.load(), 0);
}

}  // namespace
