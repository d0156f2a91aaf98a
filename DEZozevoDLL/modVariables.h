// The module settings and XML objects: one set per thread, shared by every
// Tester of that thread and refilled by each start-up on it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/xml/xml.h"

namespace dz {

struct ModVariables {
    std::string DbUser, DbPassword, DbServer, DbName;
    std::string MasterConnectString;
    std::string ConnectString;
    std::string StationName;
    std::string XslFileName, SchemaFileName, TargetURN;
    uint8_t LogLevel = 0;
    std::string ResendOnNetErr;
    std::string ResendFolder;    // the resend queue's folder ("" the machine's default)
    bool ResendOnGen20 = false;  // generation 20 and later keep and resend too
    int32_t CommandTimeout = 0;
    std::string SaveAsTempSN;
    std::string SPToGetUnitInfo, SPToSaveTestResult, SPToGetProductStructure, SPToGenericFunction;
    int16_t ServerGeneration = 0;
    int16_t ServerRevision = 0;
    std::string LogFileName;
    std::string ResultBufferFolder;
    bool UnitInfoXslFound = false;

    std::shared_ptr<xml::Document> ResultDocument;
    std::shared_ptr<xml::SchemaCache> ResultSchemaCache;
    std::shared_ptr<xml::Document> ResultStyleSheet;
    std::shared_ptr<xml::Document> HeaderStyleSheet;
    std::shared_ptr<xml::Document> UnitRequestDocument;
    std::shared_ptr<xml::Document> ValidatedRequestDocument;
    std::shared_ptr<xml::Document> UnitInfoStyleSheet;
    std::shared_ptr<xml::SchemaCache> UnitInfoSchemaCache;

    // Testers alive on this thread: the shared documents are released when
    // the last one goes, not while others still use them.
    int liveTesters = 0;
};

// The calling thread's set.
ModVariables& modVariables();

}  // namespace dz
