#include "src/dispatch/InboundXml.h"

#include <algorithm>
#include <boost/property_tree/detail/rapidxml.hpp>
#include <boost/property_tree/xml_parser.hpp>
#include <vector>

#include "src/core/SecretWipe.h"
#include "src/dispatch/MessageNames.h"

namespace pt = boost::property_tree;
namespace rx = boost::property_tree::detail::rapidxml;

namespace {

using XmlNode = rx::xml_node<char>;

// Comments become children, as read_xml keeps them by default.
constexpr int kParseFlags = rx::parse_comment_nodes;

// The working copy of the text, parsed in place and wiped when done.
class ParseBuffer {
  public:
    explicit ParseBuffer(std::string_view text) : bytes_(text.size() + 1, '\0') {
        std::copy(text.begin(), text.end(), bytes_.begin());
    }
    ~ParseBuffer() { WipeBytes(bytes_.data(), bytes_.size()); }
    ParseBuffer(const ParseBuffer&) = delete;
    ParseBuffer& operator=(const ParseBuffer&) = delete;

    char* Data() { return bytes_.data(); }

  private:
    std::vector<char> bytes_;
};

bool IsText(const XmlNode& node) {
    return node.type() == rx::node_data || node.type() == rx::node_cdata;
}

// Children are added empty and filled in place: a value built first and
// then copied into the tree would leave its copy in freed memory.
pt::ptree& AddChild(pt::ptree& parent, std::string_view key, const char* value, size_t size) {
    pt::ptree& child = parent.push_back({std::string(key), pt::ptree()})->second;
    child.data().assign(value, size);
    return child;
}

void ReadNode(const XmlNode& node, pt::ptree& parent);

void ReadElement(const XmlNode& node, pt::ptree& parent) {
    pt::ptree& element = AddChild(parent, std::string_view(node.name(), node.name_size()), "", 0);
    if (node.first_attribute() != nullptr) {
        pt::ptree& attributes = AddChild(element, msgnames::kAttributes, "", 0);
        for (const auto* attribute = node.first_attribute(); attribute != nullptr;
             attribute = attribute->next_attribute()) {
            AddChild(attributes, std::string_view(attribute->name(), attribute->name_size()),
                     attribute->value(), attribute->value_size());
        }
    }
    // Room for all texts first, so that joining them never moves the value.
    size_t textSize = 0;
    for (const XmlNode* child = node.first_node(); child != nullptr; child = child->next_sibling()) {
        textSize += IsText(*child) ? child->value_size() : 0;
    }
    element.data().reserve(textSize);
    for (const XmlNode* child = node.first_node(); child != nullptr; child = child->next_sibling()) {
        ReadNode(*child, element);
    }
}

void ReadNode(const XmlNode& node, pt::ptree& parent) {
    if (node.type() == rx::node_element) {
        ReadElement(node, parent);
    } else if (IsText(node)) {
        parent.data().append(node.value(), node.value_size());
    } else if (node.type() == rx::node_comment) {
        AddChild(parent, msgnames::kComment, node.value(), node.value_size());
    }
}

void WipeTree(pt::ptree& tree) {
    for (auto& [key, child] : tree) {
        WipeTree(child);
    }
    WipeSecret(tree.data());
}

}  // namespace

InboundXml::InboundXml(std::string_view text) {
    ParseBuffer buffer(text);
    try {
        rx::xml_document<char> document;
        document.parse<kParseFlags>(buffer.Data());
        for (const XmlNode* node = document.first_node(); node != nullptr; node = node->next_sibling()) {
            ReadNode(*node, tree_);
        }
    } catch (const rx::parse_error& error) {
        WipeTree(tree_);
        const long line = std::count(buffer.Data(), error.where<char>(), '\n') + 1;
        throw pt::xml_parser_error(error.what(), "", line);
    } catch (...) {
        WipeTree(tree_);
        throw;
    }
}

InboundXml::~InboundXml() {
    WipeTree(tree_);
}
