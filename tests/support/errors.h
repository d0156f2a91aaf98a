// Helpers shared by the tests of the database and XML layers.
#pragma once

#include <string>

namespace dz::test {

// The description of the E that f throws, or "<no error>".
template <typename E, typename F>
std::string errorOf(F f) {
    try {
        f();
    } catch (const E& e) {
        return e.description();
    }
    return "<no error>";
}

// The batch that asks the database which schema generation it has.
inline const char* const kGenerationProbe =
    "if exists (select 1 from sysobjects where name='fsLanguage') "
    "begin if exists (select 1 from sysobjects where name='fsServerInfo') select 24 "
    "else if exists (select 1 from sysobjects where name='objUTLGetErrMessage') select 23 "
    "else if exists (select 1 from syscolumns where ID = object_id('objTSKGetUnitInfo') and name='@UserID') select 22 "
    "else select 20  end else select 10;";

}  // namespace dz::test
