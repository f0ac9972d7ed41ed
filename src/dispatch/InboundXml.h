// One inbound XML message, parsed into a property tree without leaving
// copies of its texts behind.
//
// A request may carry a secret (a start request's stdin text is the
// started component's token), and freed memory keeps its bytes. Reading
// through an input stream would leave a trail of them: the stream's own
// copy, the growing buffer the parser reads into, and a temporary for every
// element text. Here the text is copied once into a buffer of its exact
// size, parsed in place, and each element's texts go straight into a value
// that has room for all of them; the buffer is wiped as soon as the tree is
// built, and every value of the tree when the object ends, also when the
// parse fails half-way.
//
// The tree is the one Boost's read_xml builds with flags 0: attributes
// under "<xmlattr>", comments as "<xmlcomment>" children, the texts of an
// element joined into its value with white space kept.
#pragma once

#include <boost/property_tree/ptree.hpp>
#include <string_view>

class InboundXml {
  public:
    // Throws boost::property_tree::xml_parser_error with the parser's
    // message when text is not well-formed XML.
    explicit InboundXml(std::string_view text);
    ~InboundXml();
    InboundXml(const InboundXml&) = delete;
    InboundXml& operator=(const InboundXml&) = delete;

    const boost::property_tree::ptree& Tree() const { return tree_; }

  private:
    boost::property_tree::ptree tree_;
};
