#include "nuvarocbfs_SaxBase.h"

#include <Poco/SAX/InputSource.h>
#include <Poco/SAX/SAXParser.h>
#include <Poco/SAX/XMLReader.h>

namespace Nuvaro {

SaxHandlerBase::~SaxHandlerBase() = default;

void SaxHandlerBase::setDocumentLocator(const Poco::XML::Locator*) {}
void SaxHandlerBase::startDocument() {}
void SaxHandlerBase::endDocument() {}
void SaxHandlerBase::startElement(const Poco::XML::XMLString&, const Poco::XML::XMLString&,
                                  const Poco::XML::XMLString&, const Poco::XML::Attributes&) {}
void SaxHandlerBase::endElement(const Poco::XML::XMLString&, const Poco::XML::XMLString&,
                                const Poco::XML::XMLString&) {}
void SaxHandlerBase::characters(const Poco::XML::XMLChar[], int, int) {}
void SaxHandlerBase::ignorableWhitespace(const Poco::XML::XMLChar[], int, int) {}
void SaxHandlerBase::processingInstruction(const Poco::XML::XMLString&, const Poco::XML::XMLString&) {}
void SaxHandlerBase::startPrefixMapping(const Poco::XML::XMLString&, const Poco::XML::XMLString&) {}
void SaxHandlerBase::endPrefixMapping(const Poco::XML::XMLString&) {}
void SaxHandlerBase::skippedEntity(const Poco::XML::XMLString&) {}
void SaxHandlerBase::startDTD(const Poco::XML::XMLString&, const Poco::XML::XMLString&,
                              const Poco::XML::XMLString&) {}
void SaxHandlerBase::endDTD() {}
void SaxHandlerBase::startEntity(const Poco::XML::XMLString&) {}
void SaxHandlerBase::endEntity(const Poco::XML::XMLString&) {}
void SaxHandlerBase::startCDATA() {}
void SaxHandlerBase::endCDATA() {}
void SaxHandlerBase::comment(const Poco::XML::XMLChar[], int, int) {}

void runSaxParse(SaxHandlerBase& handler, std::istream& stream) {
    Poco::XML::SAXParser parser;
    parser.setFeature(Poco::XML::XMLReader::FEATURE_NAMESPACES, true);
    parser.setFeature(Poco::XML::XMLReader::FEATURE_NAMESPACE_PREFIXES, true);
    parser.setContentHandler(&handler);
    parser.setProperty(Poco::XML::XMLReader::PROPERTY_LEXICAL_HANDLER,
                       static_cast<Poco::XML::LexicalHandler*>(&handler));
    Poco::XML::InputSource source(stream);
    parser.parse(&source);
}

} // namespace Nuvaro
