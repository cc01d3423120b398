// The one XML reader: what it hands on, what it refuses and why. The version
// gate's and the installer's own tests show that they turn a refused document
// away.
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
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

TEST(XmlParser, RefusesDoctypeEntitiesAndBombsBeforeExpandingAnything) {
    const std::string cases[] = {
        billionLaughs(),
        "<!DOCTYPE r SYSTEM 'file:///etc/passwd'><r/>",
        "<!DOCTYPE r [<!ENTITY e SYSTEM 'file:///etc/passwd'>]><r>&e;</r>",
        "<!DOCTYPE r><r/>",
    };
    for (const std::string& doc : cases) {
        Recorder r;
        xml::Parser p(r);
        EXPECT_FALSE(p.parse(doc.data(), doc.size(), true)) << doc;
        EXPECT_EQ(p.refusal(), xml::Refusal::Doctype) << doc;
        EXPECT_TRUE(r.events.empty()) << "nothing is handed on from a refused document";
        // A refused parser stays refused.
        EXPECT_FALSE(p.parse("<x/>", 4, true));
    }
    // An entity reference without any declaration is simply not well-formed.
    Recorder r;
    xml::Parser p(r);
    const std::string doc = "<r>\n  &lol9;</r>";
    EXPECT_FALSE(p.parse(doc.data(), doc.size(), true));
    EXPECT_EQ(p.refusal(), xml::Refusal::Syntax);
    EXPECT_EQ(p.syntaxError(), "undefined entity");
    EXPECT_EQ(p.line(), 2u);
    EXPECT_EQ(p.column(), 2u);
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

}  // namespace
