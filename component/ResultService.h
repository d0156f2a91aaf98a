// The result upload on both server generations, with its two stores: the
// resend queue (ResendQueue) for results lost on the network, and the buffer
// folder (BufferFolder) that takes the full result when the database asks
// for the delivery method "TempFile".
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "component/Service.h"
#include "platform/com/variant.h"

namespace dz {

class ResultService : public Service {
public:
    using Service::Service;

    // The generation's upload of one result document: 0 stored (or not to
    // be stored), 10 not well-formed or invalid, else the failure's status.
    int32_t save10(const com::Variant& strXMLResultText);
    int32_t save20(const com::Variant& strXMLResultText);
    // The upload while no database was reached: the result is kept when the
    // start-up failed on the network and the INI file asks for it; else 100.
    int32_t keepWhileDown(const com::Variant& strXMLResultText, const std::string& startupFailure);
    // Sends the kept results again, oldest first, each through the
    // generation's own upload. Without `wait`, a replay already running in
    // another process is left to do it (0).
    int32_t resendKept(bool wait);

    // The test ID the database gave the result the last upload stored.
    const std::optional<int32_t>& testId() const { return testId_; }
    void forgetTestId() { testId_.reset(); }
    // A result was kept while no database was reached: the next unit query sends it.
    bool replayOwed() const { return replayOwed_; }
    void replayDone() { replayOwed_ = false; }

private:
    int32_t upload(const com::Variant& result);
    bool keep(std::string_view text);
    // 0 in the payload, 1 "TempFile" (its folder in `folder`), 2 "MSMQ";
    // 999 on failure, its description in `failure`.
    int16_t deliveryMethod(const std::string& unitId, std::string& folder, std::string& failure);
    bool folderExists(const std::string& folder);
    // Gives the body staged in the buffer folder its final name.
    int16_t moveIntoPlace(const std::string& folder, const std::string& staged, const std::string& unitId,
                          int32_t testId);

    bool resending_ = false;        // a kept result is being sent again: it stays in its own file
    bool uploadAnswered_ = false;   // the last upload's procedure answered
    bool replayOwed_ = false;
    std::optional<int32_t> testId_;
};

}  // namespace dz
