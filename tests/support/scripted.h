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
            return {.columns = std::move(cols), .rows = std::move(rows)};
        }
        static Answer status(int v) { return {.returnValue = Value(v)}; }
        static Answer failure(std::string description) { return {.fail = std::move(description)}; }
    };

    struct Call {
        std::string connectionString;
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
    struct Rule {
        std::string key;
        std::vector<Answer> answers;
        size_t used = 0;  // answers given so far
    };
    std::vector<Rule> rules_;
    Answer otherwise_;  // for commands that match no key: no record set, return 0
    std::optional<std::string> failAll_;
    std::vector<Call> calls_;
};

}  // namespace dz::db
