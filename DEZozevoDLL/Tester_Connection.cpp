// Server generation probe and the resolution of the working connection.
#include "DEZozevoDLL/Results.h"
#include "DEZozevoDLL/Scramble.h"
#include "DEZozevoDLL/Tester.h"
#include "DEZozevoDLL/Context.h"
#include "platform/db/db.h"
#include "platform/text.h"

namespace dz {

namespace {

std::string connectionString(const std::string& password, const std::string& user, const std::string& database,
                             const std::string& server) {
    std::string bare = text::replaceAll(text::replaceAll(server, "[", ""), "]", "");
    return "Provider=SQLOLEDB;Password=" + password + ";User ID=" + user + ";Initial Catalog=" + database +
           ";Data Source=" + bare + ";Network Library=DBMSSOCN;";
}

db::Command masterCommand(std::string text, db::CommandType type) {
    db::Command cmd;
    cmd.activeConnection = threadContext().connections.master;
    cmd.client = threadContext().settings.client;
    cmd.timeout = threadContext().settings.commandTimeout;
    cmd.text = std::move(text);
    cmd.type = type;
    return cmd;
}

}  // namespace

std::string Tester::UnscramblePassword(std::string_view text) { return dz::UnscramblePassword(text); }

void Tester::GetTWVer() {
    try {
        db::Command cmd = masterCommand(
            "if exists (select 1 from sysobjects where name='fsLanguage') "
            "begin if exists (select 1 from sysobjects where name='fsServerInfo') select 24 "
            "else if exists (select 1 from sysobjects where name='objUTLGetErrMessage') select 23 "
            "else if exists (select 1 from syscolumns where ID = object_id('objTSKGetUnitInfo') and name='@UserID') "
            "select 22 "
            "else select 20  end else select 10;",
            db::adCmdText);
        db::Recordset rs = cmd.execute();
        const int32_t n = rs.field(size_t(0)).toInt32();
        if (n < -32768 || n > 32767) throw db::Error("Overflow");
        rs.close();
        threadContext().profile.generation = int16_t((n / 10) * 10);
        threadContext().profile.revision = int16_t(n % 10);
    } catch (const std::exception& e) {
        startupFailure_ = e.what();
        log(std::string("Runtime error in GetTWVer ") + e.what(), 1);
    }
}

int16_t Tester::GetSlaveConn(const std::string& station) {
    switch (threadContext().profile.generation) {
        case 10: return GetSlaveConn10(station);
        case 20: return GetSlaveConn20(station);
        default: return 100;
    }
}

int16_t Tester::GetSlaveConn10(const std::string& station) {
    Context& mv = threadContext();
    try {
        db::Command cmd = masterCommand(
            "if exists (select 1 from sysobjects where name='uspGetSlaveInfo') exec uspGetSlaveInfo '" +
                results::doubleApostrophes(station) + "' else select 0 Error, 0 MasterSlaveSolution",
            db::adCmdText);
        db::Recordset rs = cmd.execute();
        if (rs.eof() || rs.bof()) {
            log("No data returned from uspGetSlaveInfo", 1);
            return 30;
        }
        const int32_t error = rs.field("Error").toInt32();
        if (error != 0) {
            log("errCode=" + std::to_string(error) + ", Descr=Error code from uspGetSlaveInfo SP", 1);
            return 20;
        }
        if (rs.field("MasterSlaveSolution").toInt32() != 1) {
            mv.connections.working = mv.connections.master;
        } else {
            const std::string server = rs.field("ServerName").toText();
            const std::string database = rs.field("DatabaseName").toText();
            const std::string user = rs.field("UserName").toText();
            const std::string password = UnscramblePassword(rs.field("UserPassword").toText());
            mv.connections.working = connectionString(password, user, database, server);
            log("Slave Server=" + server, 2);
        }
        rs.close();
        return 0;
    } catch (const std::exception& e) {
        log(e.what(), 1);
        log("Failed to retrieve slave info from uspGetSlaveInfo", 1);
        return 10;
    }
}

int16_t Tester::GetSlaveConn20(const std::string& station) {
    Context& mv = threadContext();
    if (mv.profile.revision <= 3) {
        mv.connections.working = mv.connections.master;
        return 0;
    }
    try {
        db::Command cmd = masterCommand("objUTLGetSlaveConnection", db::adCmdStoredProc);
        cmd.append("return", db::adInteger, db::adParamReturnValue, {}, 0);
        cmd.append("@xmlStation", db::adVarChar, db::adParamInput,
                   "<StationInfo Description=\"" + EscapeXml(station) + "\"/>");
        db::Recordset rs = cmd.execute();
        const db::Value ret = cmd.value("return");
        // A return value not yet delivered counts as not greater than 0.
        if (!ret.isNull() && ret.toInt32() > 0) return 10;
        if (rs.eof() || rs.bof()) {
            log("No data returned from objUTLGetSlaveConnection", 1);
            return 30;
        }
        const std::string instance = rs.field("InstanceName").toText();
        const std::string database = rs.field("DatabaseName").toText();
        mv.connections.working = connectionString(mv.settings.password, mv.settings.user, database, instance);
        log("Slave Server=" + instance, 2);
        rs.close();
        return 0;
    } catch (const std::exception& e) {
        log(e.what(), 1);
        log("Failed to retrieve slave info from objUTLGetSlaveConnection", 1);
        return 10;
    }
}

}  // namespace dz
