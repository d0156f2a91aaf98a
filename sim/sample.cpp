// The message texts every simulator database carries, and the sample plant:
// a controller-assembly line with in-circuit, functional, burn-in, final and
// packing stations, its work orders, units, calibration and a second line
// served by a slave database.
#include "component/Scramble.h"
#include "sim/codes.h"
#include "sim/internal.h"

namespace dz::sim {

void insertMessages(sqlite3* db) {
    static const std::pair<int, const char*> kEnglish[] = {
        {kOk, "Done"},
        {kUnitNotFound, "Unit not found: the serial number is not known to the MES"},
        {kStationUnknown, "Station not known to the MES"},
        {kNotRouted, "Unit is not routed to this station: its next route step is at another station"},
        {kUnitOnHold, "Unit is on hold"},
        {kUnitScrapped, "Unit is scrapped"},
        {kRouteCompleted, "Unit has completed its route"},
        {kWorkOrderNotReleased, "Work order of the unit is not released for production"},
        {10, "Request or result document failed validation, or the database connection could not be resolved"},
        {20, "The master database reported an error while looking up the station's database"},
        {30, "The master database returned no information about the station's database"},
        {kRequestUnreadable, "Request could not be read: a required value is missing"},
        {kPartUnknown, "Part number or revision not known to the MES"},
        {kResultUnreadable, "Result document is not well-formed XML"},
        {kResultEmpty, "Result document is empty"},
        {kResultNoUnit, "Result document names no unit (no DUT element with an ID)"},
        {kCalibrationUnreadable, "Calibration document could not be read"},
        {100, "Server generation not detected: the component could not reach the master database at start-up"},
        {6000, "No data returned by the database"},
        {9001, "Database access denied or server not found"},
        {9002, "Network error while talking to the database"},
        {9003, "Database call timed out"},
        {9997, "The result kept for resending could not be read"},
        {9998, "The result could not be kept for resending"},
        {9999, "Unexpected failure; see the component's log"},
        {-9999, "Result buffer folder does not exist"},
    };
    static const std::pair<int, const char*> kGerman[] = {
        {kUnitNotFound, "Einheit nicht gefunden"},
        {kNotRouted, "Einheit ist nicht zu dieser Station geroutet"},
        {kUnitOnHold, "Einheit ist gesperrt"},
    };
    Stmt ins(db, "INSERT INTO messages(language, type, code, text) VALUES(?, 'ERROR', ?, ?)");
    for (const auto& [code, text] : kEnglish) {
        ins.with("ENG", std::to_string(code), text).run();
        ins.reset();
    }
    for (const auto& [code, text] : kGerman) {
        ins.with("DEU", std::to_string(code), text).run();
        ins.reset();
    }
}

void insertSample(sqlite3* db, const std::string& bufferFolder, const std::optional<SampleSlave>& slave) {
    execSql(db, R"SQL(
INSERT INTO parts(part_number, revision, description, family, released) VALUES
  ('ASM-5000', 'B', 'Controller assembly', 'CTRL', '2025-06-02'),
  ('ASM-5000', 'C', 'Controller assembly', 'CTRL', '2026-01-19'),
  ('PCB-1001', 'A', 'Controller board', 'CTRL', '2025-05-12'),
  ('PCB-1001', 'B', 'Controller board', 'CTRL', '2025-12-01'),
  ('PSU-2001', 'A', 'Power supply module 12 V', 'PWR', '2024-11-04'),
  ('CBL-3001', 'A', 'Cable harness', 'MECH', '2024-11-04'),
  ('ENC-4001', 'A', 'Enclosure', 'MECH', '2024-11-04'),
  ('MCU-7001', 'A', 'Microcontroller', 'COMP', '2024-03-15'),
  ('CON-7040', 'A', 'Connector 40-pin', 'COMP', '2024-03-15');

INSERT INTO part_attributes(part_number, revision, seq, name, value) VALUES
  ('ASM-5000', 'C', 1, 'SupplyVoltage_V', '12.0'),
  ('ASM-5000', 'C', 2, 'MaxCurrent_mA', '850'),
  ('ASM-5000', 'C', 3, 'Firmware', 'FW-2.4.1'),
  ('ASM-5000', 'C', 4, 'Customer', 'Kessler & Sons'),
  ('ASM-5000', 'C', 5, 'TestSpec', 'TS-5000 rev. C <draft>'),
  ('ASM-5000', 'B', 1, 'SupplyVoltage_V', '12.0'),
  ('ASM-5000', 'B', 2, 'MaxCurrent_mA', '900'),
  ('ASM-5000', 'B', 3, 'Firmware', 'FW-2.3.7'),
  ('PCB-1001', 'B', 1, 'Layers', '6'),
  ('PCB-1001', 'B', 2, 'Finish', 'ENIG'),
  ('PCB-1001', 'B', 3, 'Panel', '2x4'),
  ('PCB-1001', 'A', 1, 'Layers', '4'),
  ('PSU-2001', 'A', 1, 'Vout_V', '12.0'),
  ('PSU-2001', 'A', 2, 'Efficiency_pct', '91');

INSERT INTO product_structure(parent_part, parent_revision, seq, child_part, child_revision, quantity) VALUES
  ('ASM-5000', 'C', 1, 'PCB-1001', 'B', 1),
  ('ASM-5000', 'C', 2, 'PSU-2001', 'A', 1),
  ('ASM-5000', 'C', 3, 'CBL-3001', 'A', 2),
  ('ASM-5000', 'C', 4, 'ENC-4001', 'A', 1),
  ('ASM-5000', 'B', 1, 'PCB-1001', 'A', 1),
  ('ASM-5000', 'B', 2, 'PSU-2001', 'A', 1),
  ('ASM-5000', 'B', 3, 'CBL-3001', 'A', 2),
  ('ASM-5000', 'B', 4, 'ENC-4001', 'A', 1),
  ('PCB-1001', 'B', 1, 'MCU-7001', 'A', 1),
  ('PCB-1001', 'B', 2, 'CON-7040', 'A', 2);

INSERT INTO stations(name, description, line) VALUES
  ('ICT-01', 'In-circuit test', 'LINE1'),
  ('FCT-01', 'Functional test', 'LINE1'),
  ('FCT-02', 'Functional test, line 2', 'LINE2'),
  ('BURNIN-01', 'Burn-in rack', 'LINE1'),
  ('FINAL-01', 'Final inspection', 'LINE1'),
  ('PACK-01', 'Packing', 'LINE1');

INSERT INTO routes(name, description) VALUES
  ('R-ASM5000', 'Controller assembly: ICT, FCT, burn-in, final, packing'),
  ('R-PCB1001', 'Controller board: ICT, FCT');
INSERT INTO route_steps(route, step, station) VALUES
  ('R-ASM5000', 10, 'ICT-01'),
  ('R-ASM5000', 20, 'FCT-01'), ('R-ASM5000', 20, 'FCT-02'),
  ('R-ASM5000', 30, 'BURNIN-01'),
  ('R-ASM5000', 40, 'FINAL-01'),
  ('R-ASM5000', 50, 'PACK-01'),
  ('R-PCB1001', 10, 'ICT-01'),
  ('R-PCB1001', 20, 'FCT-01'), ('R-PCB1001', 20, 'FCT-02');

INSERT INTO work_orders(id, number, part_number, revision, route, status_id, order_qty, started_qty, completed_qty,
                        detail1, detail2, detail3, detail4, detail5) VALUES
  (24001, 'WO-24001', 'ASM-5000', 'C', 'R-ASM5000', 3, 50, 10, 2,
   'Kessler & Sons', 'PO-77812', 'Line 1', 'Due 2026-04-30', 'Rev C first build'),
  (24002, 'WO-24002', 'PCB-1001', 'B', 'R-PCB1001', 2, 200, 0, 0,
   'Stock build', 'PO-INT-0412', 'Line 2', 'Due 2026-05-15', NULL),
  (23017, 'WO-23017', 'ASM-5000', 'B', 'R-ASM5000', 4, 20, 20, 20,
   'Kessler & Sons', 'PO-76001', 'Line 1', 'Shipped 2025-11-28', NULL),
  (24005, 'WO-24005', 'ASM-5000', 'C', 'R-ASM5000', 7, 10, 1, 0,
   'Nordlicht GmbH', 'PO-88120', 'Line 1', 'Held: supplier deviation', 'Waiting for PSU lot'),
  (24010, 'WO-24010', 'PSU-2001', 'A', NULL, 1, 120, 0, 0,
   'Stock build', NULL, 'Line 1', 'Planned week 19', NULL);

INSERT INTO work_order_lines(work_order_id, station, priority, line_qty, line_start_qty, line_ready_qty) VALUES
  (24001, 'ICT-01', 1, 50, 10, 9),
  (24001, 'FCT-01', 1, 50, 8, 6),
  (24001, 'FCT-02', 2, 50, 0, 0),
  (24001, 'BURNIN-01', 1, 50, 5, 4),
  (24001, 'FINAL-01', 1, 50, 3, 3),
  (24001, 'PACK-01', 1, 50, 2, 2),
  (24002, 'ICT-01', 2, 200, 0, 0),
  (24002, 'FCT-01', 2, 200, 0, 0),
  (24002, 'FCT-02', 1, 200, 0, 0),
  (23017, 'FINAL-01', 9, 20, 20, 20),
  (23017, 'PACK-01', 9, 20, 20, 20),
  (24005, 'ICT-01', 3, 10, 1, 1),
  (24005, 'FCT-01', 3, 10, 0, 0),
  (24010, 'ICT-01', 5, 120, 0, 0);

INSERT INTO units(serial, work_order_id, step, status, created, updated) VALUES
  ('SN24001-0001', 24001, 50, 'ACTIVE', '2026-03-02 07:10:00', '2026-03-05 15:20:11'),
  ('SN24001-0002', 24001, 40, 'ACTIVE', '2026-03-02 07:12:00', '2026-03-05 13:02:40'),
  ('SN24001-0003', 24001, 20, 'ACTIVE', '2026-03-02 07:14:00', '2026-03-04 10:41:09'),
  ('SN24001-0004', 24001, 20, 'ACTIVE', '2026-03-02 07:16:00', '2026-03-04 10:44:52'),
  ('SN24001-0005', 24001, 20, 'ACTIVE', '2026-03-02 07:18:00', '2026-03-04 10:48:30'),
  ('SN24001-0006', 24001, 10, 'ACTIVE', '2026-03-02 07:20:00', NULL),
  ('SN24001-0007', 24001, 30, 'ACTIVE', '2026-03-02 07:22:00', '2026-03-05 09:30:00'),
  ('SN24001-0008', 24001, 20, 'HOLD', '2026-03-02 07:24:00', '2026-03-04 11:02:00'),
  ('SN24001-0009', 24001, 20, 'SCRAPPED', '2026-03-02 07:26:00', '2026-03-04 11:15:00'),
  ('SN24001-0010', 24001, 50, 'COMPLETE', '2026-03-02 07:28:00', '2026-03-06 08:00:00'),
  ('SN24005-0001', 24005, 20, 'ACTIVE', '2026-02-20 13:00:00', '2026-02-21 09:00:00'),
  ('PCB-B-000101', 24002, 10, 'ACTIVE', '2026-03-06 06:00:00', NULL),
  ('PCB-B-000102', 24002, 10, 'ACTIVE', '2026-03-06 06:00:00', NULL),
  ('PCB-B-000103', 24002, 20, 'ACTIVE', '2026-03-06 06:00:00', '2026-03-06 09:12:00'),
  ('SN23017-0014', 23017, 50, 'COMPLETE', '2025-11-10 07:00:00', '2025-11-27 16:40:00');
)SQL");

    // Unit data: MAC address and firmware outside any group, test limits and
    // label texts in groups.
    Stmt ud(db, "INSERT INTO unit_data(serial, group_name, name, value) VALUES(?, ?, ?, ?)");
    auto item = [&](const std::string& sn, std::optional<std::string> group, const std::string& name,
                    const std::string& value) {
        ud.with(sn, group, name, value).run();
        ud.reset();
    };
    const char* asmUnits[] = {"SN24001-0001", "SN24001-0002", "SN24001-0003", "SN24001-0004", "SN24001-0005",
                              "SN24001-0006", "SN24001-0007", "SN24001-0008", "SN24001-0009", "SN24001-0010",
                              "SN24005-0001"};
    int n = 0;
    for (const char* sn : asmUnits) {
        char mac[32];
        std::snprintf(mac, sizeof mac, "00:1B:44:11:3A:%02X", 0x10 + n++);
        item(sn, std::nullopt, "MAC", mac);
        item(sn, std::nullopt, "Firmware", "FW-2.4.1");
        item(sn, "Limits", "Vout_min_V", "11.40");
        item(sn, "Limits", "Vout_max_V", "12.60");
        item(sn, "Limits", "Iin_max_mA", "850");
        item(sn, "Label", "Customer", "Kessler & Sons");
        item(sn, "Label", "Text", "KS-CTRL-C <EU>");
    }
    for (const char* sn : {"PCB-B-000101", "PCB-B-000102", "PCB-B-000103"}) {
        item(sn, std::nullopt, "PanelPosition", std::string(sn).substr(11));
        item(sn, "Limits", "Vcc_min_V", "3.20");
        item(sn, "Limits", "Vcc_max_V", "3.40");
    }

    execSql(db, R"SQL(
INSERT INTO calibration(station, fixture, seq, name, value, unit, due, updated) VALUES
  ('FCT-01', '', 1, 'DMM gain error', '35', 'ppm', '2026-09-30', '2025-09-30 10:00:00'),
  ('FCT-01', '', 2, 'DMM offset', '12', 'uV', '2026-09-30', '2025-09-30 10:00:00'),
  ('FCT-01', '', 3, 'Load bank', '0.2', '%', '2026-06-30', '2025-12-30 10:00:00'),
  ('FCT-01', 'FX-FCT-07', 1, 'Contact resistance', '18.5', 'mOhm', '2026-06-30', '2026-01-05 08:15:00'),
  ('FCT-01', 'FX-FCT-07', 2, 'Insertions', '41230', NULL, NULL, '2026-03-06 17:00:00'),
  ('FCT-01', 'FX-FCT-09', 1, 'Contact resistance', '22.1', 'mOhm', '2026-05-31', '2025-11-30 08:15:00'),
  ('ICT-01', '', 1, 'Self-test', 'PASS', NULL, '2026-04-01', '2026-03-01 06:00:00'),
  ('ICT-01', 'FX-ICT-01', 1, 'Probe count', '412', NULL, NULL, '2026-01-10 09:00:00'),
  ('ICT-01', 'FX-ICT-01', 2, 'Insertions', '9812', NULL, NULL, '2026-03-06 17:00:00'),
  ('FCT-02', '', 1, 'DMM gain error', '41', 'ppm', '2026-08-31', '2025-08-31 10:00:00');

INSERT INTO sqlite_sequence(name, seq) VALUES('results', 70000);
)SQL");

    // Earlier results of the units that have come along their route.
    execSql(db, R"SQL(
INSERT INTO results(serial, station, status, procedure, received, document) VALUES
  ('SN24001-0010', 'PACK-01', 'PASS', 'history', '2026-03-06 08:00:00',
   '<TestResultHeader STATION="PACK-01"><DUT ID="SN24001-0010" STATUS="PASS"/></TestResultHeader>');
INSERT INTO result_units(test_id, serial, status) SELECT test_id, serial, status FROM results;
)SQL");

    // The final-inspection station delivers passing results into a folder.
    Stmt(db, "UPDATE stations SET delivery_method = 'TempFile', delivery_dest = ? WHERE name = 'FINAL-01'")
        .with(bufferFolder)
        .run();

    if (slave) {
        Stmt(db, "INSERT INTO slaves(name, server_name, database_name, user_name, user_password) VALUES('LINE2', ?, ?, ?, ?)")
            .with(slave->serverName, slave->databaseName, slave->user, dz::UnscramblePassword(slave->password))
            .run();
        execSql(db, "UPDATE stations SET slave = 'LINE2' WHERE line = 'LINE2'");
    }
}

}  // namespace dz::sim
