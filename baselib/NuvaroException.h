#pragma once

// The exception type of our base layer and of the code built on it.
//
// It deliberately does not derive from Poco::Exception: operations catch
// Poco::Exception first and this type second, with a different log text for
// each, so a Nuvaro::Exception must never be caught by the first handler.

#include <exception>
#include <string>

namespace Nuvaro {

class Exception : public std::exception {
public:
    explicit Exception(const std::string& message);
    ~Exception() override;

    // The text the exception was built from, unchanged.
    const std::string& message() const { return m_message; }
    // The same text, for code that only knows std::exception.
    const char* what() const noexcept override;
    // "Nuvaro::Exception"; subclasses name themselves.
    virtual const char* className() const noexcept;
    // className(), ": " and the message.
    std::string displayText() const;

private:
    std::string m_message;
};

} // namespace Nuvaro
