// The one XML reader: what it hands on, what it refuses and why, and that
// it never opens anything a document names. The version gate's and the
// installer's own tests show that they turn a refused document away.
#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "platform/xml/xml.h"

namespace {

namespace fs = std::filesystem;

struct Recorder final : xml::Handler {
    std::vector<std::string> events;
    xml::Parser* parser = nullptr;
    std::string stopAt;
    void startElement(const char* name, const char** atts) override {
        std::string e = std::string("<") + name;
        for (size_t i = 0; atts[i] != nullptr; i += 2) {
            e += std::string(" ") + atts[i] + "=" + atts[i + 1];
        }
        events.push_back(e);
        if (parser != nullptr && name == stopAt) {
            parser->stop();
        }
    }
    void endElement(const char* name) override { events.push_back(std::string("/") + name); }
    void characters(const char* text, size_t length) override {
        if (!events.empty() && events.back().rfind("#", 0) == 0) {
            events.back().append(text, length);
        } else {
            events.push_back("#" + std::string(text, length));
        }
    }
};

std::string billionLaughs() {
    std::string xml = "<?xml version='1.0'?><!DOCTYPE lolz [<!ENTITY lol 'lol'>";
    for (int i = 1; i < 10; ++i) {
        xml += "<!ENTITY lol" + std::to_string(i) + " '";
        for (int k = 0; k < 10; ++k) {
            xml += i == 1 ? "&lol;" : "&lol" + std::to_string(i - 1) + ";";
        }
        xml += "'>";
    }
    return xml + "]><lolz>&lol9;</lolz>";
}

TEST(XmlParser, HandsOnElementsAttributesAndTextInPieces) {
    Recorder r;
    xml::Parser p(r);
    ASSERT_TRUE(p.ready());
    const std::string doc = "<?xml version='1.0' encoding='UTF-8'?><a x='1'><b>t&amp;u</b><c/></a>";
    // Fed one byte at a time: tokens that span pieces still come out whole.
    for (size_t i = 0; i < doc.size(); ++i) {
        ASSERT_TRUE(p.parse(doc.data() + i, 1, false)) << i;
    }
    ASSERT_TRUE(p.parse(nullptr, 0, true));
    EXPECT_EQ(p.refusal(), xml::Refusal::None);
    const std::vector<std::string> want = {"<a x=1", "<b", "#t&u", "/b", "<c", "/c", "/a"};
    EXPECT_EQ(r.events, want);
}

std::vector<std::string> eventsOf(const std::string& doc, bool* ok) {
    Recorder r;
    xml::Parser p(r);
    *ok = p.parse(doc.data(), doc.size(), true);
    EXPECT_EQ(p.refusal(), *ok ? xml::Refusal::None : xml::Refusal::Syntax) << doc;
    return r.events;
}

TEST(XmlParser, ReadsDeclarationsHeldInTheDocument) {
    const std::string body = "<pkg-info version='5.18.0'><x>t</x></pkg-info>";
    bool ok = false;
    const std::vector<std::string> plain = eventsOf(body, &ok);
    ASSERT_TRUE(ok);
    const std::string prologs[] = {
        "<!DOCTYPE pkg-info>",
        "<?xml version='1.0' encoding='UTF-8'?>\n<!DOCTYPE pkg-info >\n",
        std::string("<!DOCTYPE pkg-info [<!ELEMENT pkg-info (x)*><!ELEMENT x (#PCDATA)>") +
            "<!ATTLIST pkg-info version CDATA #REQUIRED id ID #IMPLIED>]>",
        "<!DOCTYPE pkg-info [ <!-- c --> <?pi x?> <!NOTATION n SYSTEM 'file:///etc/passwd'> ]>",
        "<?xml version='1.0' standalone='yes'?><!DOCTYPE pkg-info [<!ELEMENT x ANY>]>",
    };
    for (const std::string& prolog : prologs) {
        EXPECT_EQ(eventsOf(prolog + body, &ok), plain) << prolog;
        EXPECT_TRUE(ok) << prolog;
    }
    // A declared default is part of what the document says.
    EXPECT_EQ(eventsOf("<!DOCTYPE r [<!ATTLIST r d CDATA 'x'>]><r/><!-- -->", &ok),
              std::vector<std::string>({"<r d=x", "/r"}));
    // Still one root element, and the declaration only before it.
    eventsOf("<!DOCTYPE r><r/><!DOCTYPE r>", &ok);
    EXPECT_FALSE(ok);
}

TEST(XmlParser, RefusesEntitiesAndOutsideDeclarationsBeforeHandingOnAnything) {
    using xml::Refusal;
    const std::pair<std::string, Refusal> cases[] = {
        {billionLaughs(), Refusal::EntityDeclaration},
        {"<!DOCTYPE r [<!ENTITY e SYSTEM 'file:///etc/passwd'>]><r>&e;</r>",
         Refusal::EntityDeclaration},
        {"<!DOCTYPE r [<!ELEMENT r ANY><!ENTITY e 'v'>]><r a='&e;'/>", Refusal::EntityDeclaration},
        {"<!DOCTYPE r [<!ENTITY % p '<!ENTITY e \"v\">'>]><r/>", Refusal::EntityDeclaration},
        {"<!DOCTYPE r [<!ENTITY % p SYSTEM 'file:///etc/passwd'> %p;]><r/>",
         Refusal::EntityDeclaration},
        {"<!DOCTYPE r [<!ENTITY n SYSTEM 'x' NDATA g>]><r/>", Refusal::EntityDeclaration},
        {"<?xml version='1.0' standalone='yes'?><!DOCTYPE r [<!ENTITY e 'v'>]><r/>",
         Refusal::EntityDeclaration},
        {"<!DOCTYPE r SYSTEM 'file:///etc/passwd'><r/>", Refusal::ExternalDeclarations},
        {"<!DOCTYPE r PUBLIC '-//x//y' 'http://127.0.0.1:9/x.dtd' [<!ELEMENT r ANY>]><r/>",
         Refusal::ExternalDeclarations},
        {"<?xml version='1.0' standalone='yes'?><!DOCTYPE r SYSTEM 'x.dtd'><r/>",
         Refusal::ExternalDeclarations},
        // A parameter entity from nowhere, then declarations it would hide.
        {"<!DOCTYPE r [%p; <!ENTITY e 'v'>]><r>&e;</r>", Refusal::ExternalDeclarations},
    };
    for (const auto& [doc, why] : cases) {
        Recorder r;
        xml::Parser p(r);
        EXPECT_FALSE(p.parse(doc.data(), doc.size(), true)) << doc;
        EXPECT_EQ(p.refusal(), why) << doc;
        EXPECT_TRUE(r.events.empty()) << "nothing is handed on from a refused document";
        // A refused parser stays refused.
        EXPECT_FALSE(p.parse("<x/>", 4, true));
    }
    // An entity reference without any declaration is simply not well-formed.
    Recorder r;
    xml::Parser p(r);
    const std::string doc = "<!DOCTYPE r>\n<r>\n  &lol9;</r>";
    EXPECT_FALSE(p.parse(doc.data(), doc.size(), true));
    EXPECT_EQ(p.refusal(), xml::Refusal::Syntax);
    EXPECT_EQ(p.syntaxError(), "undefined entity");
    EXPECT_EQ(p.line(), 3u);
    EXPECT_EQ(p.column(), 2u);
}

TEST(XmlParser, AttributeDefaultsAreBounded) {
    // Each default is copied into every start tag of its element: a few
    // declarations and many short tags would hand on far more than the
    // document holds.
    auto doc = [](size_t defaults) {
        std::string d = "<!DOCTYPE r [";
        for (size_t i = 0; i < defaults; ++i) {
            d += "<!ATTLIST e a" + std::to_string(i) + " CDATA 'v'>";
        }
        return d + "<!ATTLIST e b CDATA #IMPLIED>]><r>" + std::string(1000, 'x') + "<e/></r>";
    };
    Recorder fits;
    xml::Parser a(fits);
    const std::string most = doc(xml::Parser::kMaxAttributeDefaults);
    EXPECT_TRUE(a.parse(most.data(), most.size(), true));
    ASSERT_EQ(fits.events.size(), 5u);
    EXPECT_EQ(fits.events[2].rfind("<e a0=v a1=v", 0), 0u);
    Recorder over;
    xml::Parser b(over);
    const std::string more = doc(xml::Parser::kMaxAttributeDefaults + 1);
    EXPECT_FALSE(b.parse(more.data(), more.size(), true));
    EXPECT_EQ(b.refusal(), xml::Refusal::Memory);
    EXPECT_TRUE(over.events.empty());
}

TEST(XmlParser, MemoryBudgetAndStopFromAHandler) {
    // One start tag with a 64 KiB name needs more than a 16 KiB budget.
    Recorder r;
    xml::Parser small(r, 16 * 1024);
    const std::string giant = "<" + std::string(64 * 1024, 'n') + "/>";
    EXPECT_FALSE(small.parse(giant.data(), giant.size(), true));
    EXPECT_EQ(small.refusal(), xml::Refusal::Memory);
    // The same document fits the default budget.
    Recorder fits;
    xml::Parser big(fits);
    EXPECT_TRUE(big.parse(giant.data(), giant.size(), true));
    EXPECT_EQ(fits.events.size(), 2u);

    Recorder s;
    xml::Parser p(s);
    s.parser = &p;
    s.stopAt = "b";
    const std::string doc = "<a><b/><c/></a>";
    EXPECT_FALSE(p.parse(doc.data(), doc.size(), true));
    EXPECT_EQ(p.refusal(), xml::Refusal::Stopped);
    EXPECT_EQ(s.events, std::vector<std::string>({"<a", "<b"}));
}

class XmlFiles : public ::testing::Test {
  protected:
    void SetUp() override {
        char templ[] = "/tmp/xq-xml-test.XXXXXX";
        ASSERT_NE(::mkdtemp(templ), nullptr);
        dir_ = templ;
    }
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }
    std::string write(const std::string& name, const std::string& body) {
        const std::string path = dir_ + "/" + name;
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        EXPECT_GE(fd, 0);
        EXPECT_EQ(::write(fd, body.data(), body.size()), static_cast<ssize_t>(body.size()));
        ::close(fd);
        return path;
    }
    std::string dir_;
};

TEST_F(XmlFiles, ParseFileReadsLargeFilesAndRefusesLinks) {
    std::string body = "<r>";
    for (int i = 0; i < 20000; ++i) {
        body += "<pkg-info version='" + std::to_string(i) + "'/>";
    }
    body += "</r>";  // several read chunks
    const std::string path = write("big.xml", body);
    Recorder r;
    xml::Parser p(r);
    ASSERT_TRUE(p.parseFile(path));
    ASSERT_EQ(r.events.size(), 2u + 2u * 20000u);
    EXPECT_EQ(r.events[r.events.size() - 3], "<pkg-info version=19999");

    const std::string link = dir_ + "/link.xml";
    ASSERT_EQ(::symlink(path.c_str(), link.c_str()), 0);
    Recorder l;
    xml::Parser q(l);
    EXPECT_FALSE(q.parseFile(link));
    EXPECT_EQ(q.refusal(), xml::Refusal::Unreadable);
    EXPECT_TRUE(l.events.empty());
}

TEST_F(XmlFiles, NothingOutsideTheDocumentIsEverOpened) {
    // A FIFO would block the reader forever if it were opened; a regular file
    // would declare an entity. inotify sees any open of either.
    const std::string fifo = dir_ + "/subset.dtd";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const std::string file = write("entities.dtd", "<!ENTITY v '9.9'>");
    const int in = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    ASSERT_GE(in, 0);
    ASSERT_GE(::inotify_add_watch(in, fifo.c_str(), IN_OPEN | IN_ACCESS), 0);
    ASSERT_GE(::inotify_add_watch(in, file.c_str(), IN_OPEN | IN_ACCESS), 0);
    for (const std::string& target : {fifo, file, "file://" + fifo, "file://" + file}) {
        const std::string docs[] = {
            "<!DOCTYPE r SYSTEM '" + target + "'><r v='&v;'/>",
            "<!DOCTYPE r PUBLIC '-//x//y' '" + target + "'><r/>",
            "<!DOCTYPE r [<!ENTITY % p SYSTEM '" + target + "'> %p;]><r/>",
            "<!DOCTYPE r [<!ENTITY e SYSTEM '" + target + "'>]><r>&e;</r>",
        };
        for (const std::string& doc : docs) {
            Recorder r;
            xml::Parser p(r);
            EXPECT_FALSE(p.parseFile(write("doc.xml", doc))) << doc;
            EXPECT_NE(p.refusal(), xml::Refusal::Syntax) << doc;
            EXPECT_TRUE(r.events.empty()) << doc;
        }
    }
    char events[4096];
    EXPECT_EQ(::read(in, events, sizeof events), -1) << "a declared file was opened";
    EXPECT_EQ(errno, EAGAIN);
    ::close(in);
}

}  // namespace
