#pragma once

// Common ground of the connector's SAX handlers: every content and lexical
// event does nothing unless a handler overrides it, and one function runs a
// parse the way all our readers do (namespace processing on, the handler also
// installed as lexical handler).

#include <Poco/SAX/ContentHandler.h>
#include <Poco/SAX/LexicalHandler.h>

#include <istream>

namespace Nuvaro {

class SaxHandlerBase : public Poco::XML::ContentHandler, public Poco::XML::LexicalHandler {
public:
    ~SaxHandlerBase() override;

    void setDocumentLocator(const Poco::XML::Locator* loc) override;
    void startDocument() override;
    void endDocument() override;
    void startElement(const Poco::XML::XMLString& uri, const Poco::XML::XMLString& localName,
                      const Poco::XML::XMLString& qname, const Poco::XML::Attributes& attributes) override;
    void endElement(const Poco::XML::XMLString& uri, const Poco::XML::XMLString& localName,
                    const Poco::XML::XMLString& qname) override;
    void characters(const Poco::XML::XMLChar ch[], int start, int length) override;
    void ignorableWhitespace(const Poco::XML::XMLChar ch[], int start, int length) override;
    void processingInstruction(const Poco::XML::XMLString& target, const Poco::XML::XMLString& data) override;
    void startPrefixMapping(const Poco::XML::XMLString& prefix, const Poco::XML::XMLString& uri) override;
    void endPrefixMapping(const Poco::XML::XMLString& prefix) override;
    void skippedEntity(const Poco::XML::XMLString& name) override;

    void startDTD(const Poco::XML::XMLString& name, const Poco::XML::XMLString& publicId,
                  const Poco::XML::XMLString& systemId) override;
    void endDTD() override;
    void startEntity(const Poco::XML::XMLString& name) override;
    void endEntity(const Poco::XML::XMLString& name) override;
    void startCDATA() override;
    void endCDATA() override;
    void comment(const Poco::XML::XMLChar ch[], int start, int length) override;
};

// Parses the whole stream with `handler`. Parser errors (Poco::Exception) reach
// the caller.
void runSaxParse(SaxHandlerBase& handler, std::istream& stream);

} // namespace Nuvaro
