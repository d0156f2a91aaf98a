// The component's context on one thread: what start-up read and found, shared
// by every Tester of the thread and refilled by each start-up on it. Testers
// hand it (or its parts) to the services; nothing else reaches it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/db/db.h"
#include "platform/xml/xml.h"

namespace dz {

// DEZozevo.ini, read at start-up.
struct Settings {
    std::string user, password, server, database;  // [DATABASE] of the master database
    std::string station;                            // [STATION] STATION
    std::string resultStyleSheet, resultSchema, resultNamespace;  // [XML]
    uint8_t logLevel = 0;                           // [LOG] LEVEL
    std::string resendOnNetErr;                     // [ERROR] ResendOnNetErr, upper case
    std::string resendFolder;                       // [ERROR] ResendFolder: the resend queue's ("" the machine's)
    bool resendOnGeneration20 = false;              // [ERROR] ResendOnGen20: generation 20 keeps and resends too
    int32_t commandTimeout = 0;                     // [DATABASE] TimeOut
    db::ClientOptions client;  // [DATABASE] Driver, Encrypt, TrustServerCertificate, CAFile, ...: how the driver reaches the server
    std::string saveAsTempSN;                       // [SERIALNUMBER] SaveAsTempSN
    std::string unitInfoProcedure, saveResultProcedure, productStructureProcedure;  // [CUSTOMIZATION]
};

// The server generation start-up detected (10, 20, or 0 for none), its
// revision, and the procedures whose names differ between generations.
struct Profile {
    int16_t generation = 0;
    int16_t revision = 0;

    const char* orderInfoProcedure() const { return generation == 10 ? "uspGetOrderInfo" : "uspPDOGetOrderInfo"; }
    const char* ordersByStationProcedure() const {
        return generation == 10 ? "uspGetOrderInfoByStation" : "uspPDOGetOrderInfoByStation";
    }
    const char* modelAttributesProcedure() const {
        return generation == 10 ? "uspGetModelAttributeByPartNumber" : "uspPSTGetDetailByPartNumber";
    }
    // Whether the server has objUTLGetErrMessage.
    bool hasErrorMessages() const { return generation == 20 && revision >= 3; }
};

// The master database's connection and the working one start-up resolved for the station.
struct Connections {
    std::string master;
    std::string working;
};

// The XML objects start-up loads from the component folder.
struct Documents {
    std::shared_ptr<xml::Document> result;
    std::shared_ptr<xml::SchemaCache> resultSchemas;
    std::shared_ptr<xml::Document> resultStyleSheet;
    std::shared_ptr<xml::Document> headerStyleSheet;
    std::shared_ptr<xml::Document> unitRequest;
    std::shared_ptr<xml::Document> validatedRequest;
    std::shared_ptr<xml::Document> unitInfoStyleSheet;
    std::shared_ptr<xml::SchemaCache> unitInfoSchemas;
    bool unitInfoXslFound = false;
};

struct Context {
    Settings settings;
    Profile profile;
    Connections connections;
    Documents documents;
    std::string logFile;  // the day's log file, named at each line
    // Testers alive on this thread: the shared documents are released when
    // the last one goes, not while others still use them.
    int liveTesters = 0;
};

// The calling thread's context.
Context& threadContext();

}  // namespace dz
