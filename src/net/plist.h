// Owners for what libplist hands out: a node tree, and the text its XML writer produces.
#pragma once

#include <plist/plist.h>

#include <memory>

namespace vantrel::net {

struct PlistDeleter {
    void operator()(void* node) const { plist_free(static_cast<plist_t>(node)); }
};
// An owned property-list node (plist_t), freed with plist_free.
using Plist = std::unique_ptr<void, PlistDeleter>;

struct XmlTextDeleter {
    void operator()(char* xml) const { plist_to_xml_free(xml); }
};
// The text of plist_to_xml, freed with plist_to_xml_free.
using XmlText = std::unique_ptr<char, XmlTextDeleter>;

}  // namespace vantrel::net
