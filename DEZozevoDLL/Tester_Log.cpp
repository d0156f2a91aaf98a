// The small helper methods: the log, failure classification and file lookup.
#include "DEZozevoDLL/Failures.h"
#include "DEZozevoDLL/Files.h"
#include "DEZozevoDLL/Tester.h"
#include "platform/xml/escape.h"

namespace dz {

void Tester::putLog(std::string& strMsg, uint8_t& nLevel) { log_(strMsg, nLevel); }

void Tester::log(std::string_view msg, uint8_t level) { log_(msg, level); }

void Tester::log(std::initializer_list<std::string_view> parts, uint8_t level) { log_(parts, level); }

int32_t Tester::CalcErrCode(std::string& strMsg) { return statusOfText(strMsg); }

int32_t Tester::calcErr(std::string_view msg) { return statusOfText(msg); }

int32_t Tester::calcErr(const std::exception& failure) { return statusOf(failure); }

bool Tester::FileExists(std::string& Fname) { return fileExists(Fname); }

std::string Tester::EscapeXml(std::string_view text) { return xml::escaped(text); }

}  // namespace dz
