// The C++ interface (include/dezozevo/dezozevo.hpp): a thin owner of the
// component's Tester that notes each business method's status in its state
// and turns the component's own errors into dezozevo::Error.
#include <exception>
#include <new>

#include "DEZozevoDLL/Tester.h"
#include "binding/unitcheck.h"
#include "dezozevo/dezozevo.hpp"

namespace dezozevo {

Error::Error(const std::string& description) : std::runtime_error(description) {}
Error::~Error() = default;

struct Tester::Impl {
    dz::Tester tester;
};

namespace {

// Runs `f`, letting only dezozevo::Error and std::bad_alloc out.
template <typename F>
auto guarded(F&& f) -> decltype(f()) {
    try {
        return f();
    } catch (const Error&) {
        throw;
    } catch (const std::bad_alloc&) {
        throw;
    } catch (const std::exception& e) {
        throw Error(e.what());
    } catch (...) {
        throw Error("Unexpected failure");
    }
}

dz::Tester& of(const std::unique_ptr<Tester::Impl>& impl) {
    if (!impl) throw Error("The Tester was moved from");
    return impl->tester;
}

// A business method: its status is noted in the Tester's state.
template <typename F>
int32_t business(const std::unique_ptr<Tester::Impl>& impl, F&& f) {
    return guarded([&] {
        dz::Tester& t = of(impl);
        t.beginCall();
        return t.endCall(f(t));
    });
}

}  // namespace

Tester::Tester() : impl_(std::make_unique<Impl>()) {}
Tester::~Tester() = default;
Tester::Tester(Tester&&) noexcept = default;
Tester& Tester::operator=(Tester&&) noexcept = default;

int32_t Tester::CheckRoute(const std::string& strUnitSN, const std::string& strStation) {
    return business(impl_, [&](dz::Tester& t) { return t.CheckRoute(strUnitSN, strStation); });
}

int32_t Tester::GetUnitInfo(const std::string& strRequest, std::string& strUnitInfo, const std::string& strStationName,
                            const std::string& strUserID) {
    return business(impl_,
                    [&](dz::Tester& t) { return t.GetUnitInfo(strRequest, strUnitInfo, strStationName, strUserID); });
}

int32_t Tester::GetCalibrationInfo(std::string& strCalibrationInfo, const std::string& strStationName,
                                   const std::string& strFixture) {
    return business(impl_, [&](dz::Tester& t) {
        return t.GetCalibrationInfo(strCalibrationInfo, strStationName, strFixture);
    });
}

int32_t Tester::SaveCalibration(const std::string& strCalibration) {
    return business(impl_, [&](dz::Tester& t) { return t.SaveCalibration(strCalibration); });
}

int32_t Tester::GetOrderInfo(std::string& strWorkOrderInfo, const std::string& strStationName) {
    return business(impl_, [&](dz::Tester& t) { return t.GetOrderInfo(strWorkOrderInfo, strStationName); });
}

int32_t Tester::GetOrderInfoByStation(std::string& strWorkOrderInfo, const std::string& strStationName) {
    return business(impl_, [&](dz::Tester& t) { return t.GetOrderInfoByStation(strWorkOrderInfo, strStationName); });
}

int32_t Tester::GetModelAttributes(std::string& strModelInfo, const std::string& strPartNumber,
                                   const std::string& strPartRev) {
    return business(impl_,
                    [&](dz::Tester& t) { return t.GetModelAttributes(strModelInfo, strPartNumber, strPartRev); });
}

int32_t Tester::GetUnitAttributes(const std::string& strRequest, std::string& strUnitInfo,
                                  const std::string& strStationName) {
    return business(impl_,
                    [&](dz::Tester& t) { return t.GetUnitAttributes(strRequest, strUnitInfo, strStationName); });
}

std::string Tester::GetErrMessage(int32_t nErrCode) {
    return guarded([&] { return of(impl_).GetErrMessage(nErrCode); });
}

int32_t Tester::SaveResult(const std::string& strXMLResultText) {
    return business(impl_, [&](dz::Tester& t) { return t.SaveResult(dz::com::Variant(strXMLResultText)); });
}

std::string Tester::GetLastError() {
    return guarded([&] { return of(impl_).GetLastError(); });
}

std::string Tester::GetProfileItem(const std::string& strSectionName, const std::string& strKeyName,
                                   const std::string& strDefaultValue, const std::string& strIniFile) {
    return guarded(
        [&] { return of(impl_).GetProfileItem(strSectionName, strKeyName, strDefaultValue, strIniFile); });
}

std::string Tester::getStation() {
    return guarded([&] { return of(impl_).getStation(); });
}

bool Tester::FileExists(std::string& Fname) {
    return guarded([&] { return of(impl_).FileExists(Fname); });
}

void Tester::putLog(std::string& strMsg, uint8_t& nLevel) {
    guarded([&] { of(impl_).putLog(strMsg, nLevel); });
}

int32_t Tester::CalcErrCode(std::string& strMsg) {
    return guarded([&] { return of(impl_).CalcErrCode(strMsg); });
}

int32_t Tester::GetProductStructure(const std::string& xmlPart, std::string& xmlProductStructure,
                                    std::string& ErrorDescription) {
    return business(impl_, [&](dz::Tester& t) {
        return t.GetProductStructure(xmlPart, xmlProductStructure, ErrorDescription);
    });
}

int32_t Tester::GetGenericFunction(const std::string& xmlIn, std::string& xmlOut, std::string& ErrorDescription,
                                   const std::string& FunctionName) {
    return business(impl_, [&](dz::Tester& t) {
        return t.GetGenericFunction(xmlIn, xmlOut, ErrorDescription, FunctionName);
    });
}

int32_t Tester::mayTest(const std::string& strUnitSN, const std::string& strStation, std::string& strUnitInfo) {
    return guarded([&] { return dz::unitcheck::mayTest(of(impl_), strUnitSN, strStation, strUnitInfo); });
}

State Tester::state() const {
    return guarded([&] {
        const dz::TesterState s = of(impl_).state();
        State out;
        out.startupStatus = s.startupStatus;
        out.generation = s.generation;
        out.revision = s.revision;
        out.server = s.server;
        out.database = s.database;
        out.station = s.station;
        out.folder = s.folder;
        out.iniFile = s.iniFile;
        out.iniFound = s.iniFound;
        if (s.lastFailure) out.lastFailure = Failure{s.lastFailure->status, s.lastFailure->description};
        out.testId = s.testId;
        return out;
    });
}

}  // namespace dezozevo
