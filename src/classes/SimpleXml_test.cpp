#include "classes/SimpleXml.h"

#include <gtest/gtest.h>

#include "platform/Paths.h"
#include "platform/TestTempDir.h"

namespace classes {
namespace {

const std::string kInfo =
    "<?xml version=\"1.0\" encoding=\"UTF-8\" ?>\n"
    "<plugins>\n"
    "  <plugin><uniqueID>one</uniqueID><install_unistall_script>i1.cs</install_unistall_script></plugin>\n"
    "  <plugin><uniqueID>two</uniqueID><note>a <b>bold</b> move &amp; more</note></plugin>\n"
    "  <plugin></plugin>\n"
    "  <plugin><uniqueID>three</uniqueID></plugin>\n"
    "</plugins>\n";

TEST(SimpleXmlTest, ReadsFlatRecords) {
    CSimpleXMLParse x;
    ASSERT_EQ(x.LoadText(kInfo, nullptr, nullptr), 1);
    EXPECT_EQ(x.DocumentName(), "plugins");
    EXPECT_EQ(x.ChildName(), "plugin");
    ASSERT_EQ(x.GetCountChild(), 3) << "a child without values is not kept";
    EXPECT_EQ(x.GetChild(0)->GetValue("install_unistall_script"), "i1.cs");
    EXPECT_EQ(x.GetChild(-5)->GetValue("uniqueID"), "one") << "a negative index gives the first";
    EXPECT_EQ(x.GetChild(3), nullptr);
    // Markup inside a value loses its angle brackets; entities stay as they are.
    EXPECT_EQ(x.GetChild(1)->GetValue("note"), "a bbold/b move &amp; more");
    EXPECT_EQ(x.GetChild(1)->GetValue("missing"), "");
}

TEST(SimpleXmlTest, FilterLimitAndAttributes) {
    CSimpleXMLParse x;
    ASSERT_EQ(x.LoadText(kInfo, "uniqueID", "^T"), 1);
    ASSERT_EQ(x.GetCountChild(), 2) << "caseless filter on a value";
    EXPECT_EQ(x.GetChild(1)->GetValue("uniqueID"), "three");
    x.SetMaxChild(1);
    ASSERT_EQ(x.LoadText(kInfo, nullptr, nullptr), 1);
    EXPECT_EQ(x.GetCountChild(), 1);

    CSimpleXMLParse a;
    ASSERT_EQ(a.LoadText("<?xml version=\"1.0\" ?><list kind=\"x\"><rows><row><k>v</k></row></rows></list>", nullptr,
                         nullptr),
              1);
    EXPECT_EQ(a.DocumentName(), "rows") << "an element with attributes is not the document element";
    ASSERT_EQ(a.GetCountChild(), 1);
    EXPECT_EQ(a.GetChild(0)->GetValue("k"), "v");
}

TEST(SimpleXmlTest, BadAndCutFiles) {
    CSimpleXMLParse x;
    EXPECT_EQ(x.LoadText("<a><b><c>1</c></b><b><c>2</c></b><b><c>3</c></b><b><c>4</c></b></a>", nullptr, nullptr), 0)
        << "no declaration in the first block read";
    EXPECT_EQ(x.GetCountChild(), 0);
    std::string cut = kInfo.substr(0, kInfo.find("<plugin></plugin>") + 3);
    ASSERT_EQ(x.LoadText(cut, nullptr, nullptr), 1) << "a file cut short keeps what was found";
    EXPECT_EQ(x.GetCountChild(), 2);
    // Deep nesting and a never-closed child end at the pending-text limit, not in recursion.
    std::string deep = "<?xml version=\"1.0\" ?><d><r>";
    for (int i = 0; i < 20000; ++i) deep += "<n" + std::to_string(i) + ">";
    EXPECT_EQ(x.LoadText(deep, nullptr, nullptr), 1);
    EXPECT_EQ(x.LoadFile("no/such/file.xml", nullptr, nullptr), 0);
}

TEST(SimpleXmlTest, ChildrenOfAnEarlierLoadStayValid) {
    platform::TestTempDir dir;
    platform::SetAppDir(dir.Path().string());
    dir.Write("info.xml", kInfo);
    CSimpleXMLParse x;
    ASSERT_EQ(x.LoadFile("info.xml", nullptr, nullptr), 1);
    CSimpleXMLItmesChild* held = x.GetChild(0);
    ASSERT_EQ(x.LoadFile(dir.File("info.xml").c_str(), "uniqueID", "two"), 1);
    EXPECT_EQ(held->GetValue("uniqueID"), "one");
    EXPECT_EQ(x.GetCountChild(), 1);
}

}  // namespace
}  // namespace classes
