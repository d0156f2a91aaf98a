// A driver that answers from a script instead of a database, and records
// every command it receives. Tests install one under "script:NAME" and point
// the component's connection string at it (Data Source=script:NAME).
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/db/driver.h"

namespace dz::db {

class ScriptedDriver : public Driver {
public:
    struct Answer {
        std::vector<std::string> columns;          // no columns: no record set
        std::vector<std::vector<Value>> rows;
        std::optional<Value> returnValue;          // written to the return parameter / @RETURN_VALUE
        std::map<std::string, Value> outputs;      // output parameters by name
        std::optional<std::string> fail;           // execution fails with this description
                                                   // (after return value and outputs are written)
        std::optional<std::pair<size_t, std::string>> failAtRow;  // moving onto this row fails
        std::function<void()> effect;              // runs when the command executes (what another
                                                   // process might do meanwhile)

        static Answer rowsOf(std::vector<std::string> cols, std::vector<std::vector<Value>> rows) {
            Answer a;
            a.columns = std::move(cols);
            a.rows = std::move(rows);
            return a;
        }
        static Answer status(int v) {
            Answer a;
            a.returnValue = Value(v);
            return a;
        }
        static Answer failure(std::string description) {
            Answer a;
            a.fail = std::move(description);
            return a;
        }
    };

    struct Call {
        std::string connectionString;
        ConnectionInfo connection;
        std::string text;
        CommandType type = adCmdText;
        int timeout = 0;
        bool namedParameters = false;
        std::vector<Parameter> parameters;  // as sent, before outputs were written

        const Parameter* param(std::string_view name) const;
    };

    // Registers a new scripted driver under "script:NAME" and returns it.
    static std::shared_ptr<ScriptedDriver> install(const std::string& name);
    ~ScriptedDriver() override;

    // Answers are matched, case-insensitively, by the procedure name for a
    // stored procedure and by a substring of the text for a text command.
    // Several answers for one key are used in turn; the last one repeats.
    void on(const std::string& key, Answer answer);
    // Answer for commands that match no key (default: no record set, return 0).
    void otherwise(Answer answer);
    // Every command fails with this description (a server that is down).
    void failAll(std::optional<std::string> description);

    std::vector<Call> calls() const;
    size_t callCount() const;
    void clearCalls();

    Response execute(Request& request) override;

private:
    mutable std::mutex mu_;
    std::string prefix_;
    const Driver* registered_ = nullptr;  // the forwarder registered under prefix_
    std::vector<std::pair<std::string, std::vector<Answer>>> rules_;
    std::map<std::string, size_t> used_;
    Answer otherwise_;
    std::optional<std::string> failAll_;
    std::vector<Call> calls_;
};

}  // namespace dz::db
