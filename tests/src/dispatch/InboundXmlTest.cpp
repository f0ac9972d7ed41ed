// The dispatcher's own XML reading builds exactly the tree, and fails with
// exactly the message, that Boost's read_xml with flags 0 gives: requests
// mean the same whichever of the two reads them.
#include <gtest/gtest.h>

#include <boost/property_tree/ptree.hpp>
#include <boost/property_tree/xml_parser.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "src/dispatch/InboundXml.h"

namespace pt = boost::property_tree;

namespace {

pt::ptree ReadXml(const std::string& text) {
    std::istringstream in(text);
    pt::ptree tree;
    pt::read_xml(in, tree, 0);
    return tree;
}

std::string Dump(const pt::ptree& tree, const std::string& indent = "") {
    std::string text;
    for (const auto& [key, child] : tree) {
        text += indent + key + " = [" + child.data() + "]\n" + Dump(child, indent + "  ");
    }
    return text;
}

TEST(InboundXmlTest, TreesAndErrorsAreThoseOfReadXml) {
    const std::vector<std::string> documents = {
        "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<Request name=\"LockScreen\"/>",
        "<Request name=\"StartProcess\"><StartProcess isApp=\" 1 \" x='&lt;&amp;'>"
        "<ProcessName> rde </ProcessName><StdinStr>  a&amp;b&#65;&#x42;  </StdinStr>"
        "<ProcessParams><!-- note --><z>--first</z>text between<a/><b></b></ProcessParams>"
        "</StartProcess></Request>",
        // Texts split by comments, CDATA and child elements are joined.
        "<R>one<!--c-->two<![CDATA[<three>]]>four<e>inner</e>\n five \n</R>",
        "<!-- before --><R/><!-- after -->",
        "<R><e a=\"1\" b=\"2\" a2=\"\"/><e>second</e><e/></R>",
        "  \n<R>\t</R>\n",
        // Closing tags are not compared.
        "<R><e>x</f></Q>",
        "",
    };
    for (const std::string& document : documents) {
        SCOPED_TRACE(document);
        EXPECT_EQ(Dump(InboundXml(document).Tree()), Dump(ReadXml(document)));
    }
    const std::vector<std::string> malformed = {
        "<R>", "<R", "<R a=\"1></R>", "text", "<R>\n\n<e>&bogus;</R>", "<R><!-- open </R>",
    };
    for (const std::string& document : malformed) {
        SCOPED_TRACE(document);
        std::string expected;
        unsigned long expectedLine = 0;
        try {
            ReadXml(document);
        } catch (const pt::xml_parser_error& error) {
            expected = error.message();
            expectedLine = error.line();
        }
        ASSERT_FALSE(expected.empty());
        try {
            InboundXml parsed(document);
            ADD_FAILURE() << "parsed";
        } catch (const pt::xml_parser_error& error) {
            EXPECT_EQ(error.message(), expected);
            EXPECT_EQ(error.line(), expectedLine);
        }
    }
}

}  // namespace
