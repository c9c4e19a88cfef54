#include "NuvaroException.h"

namespace Nuvaro {

Exception::Exception(const std::string& message) : m_message(message) {}

Exception::~Exception() = default;

const char* Exception::what() const noexcept { return m_message.c_str(); }

const char* Exception::className() const noexcept { return "Nuvaro::Exception"; }

std::string Exception::displayText() const { return std::string(className()) + ": " + m_message; }

} // namespace Nuvaro
