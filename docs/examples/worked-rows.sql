-- One worked row for each kind of event, on Monday from 09:00 (docs/database.md explains every
-- column). Load it into a database made from the empty script:
--   sqlite3 -bail TarvoAutomation.mdb < docs/TarvoAutomation.sql
--   sqlite3 -bail TarvoAutomation.mdb < docs/examples/worked-rows.sql
-- then point the database at a switcher, e.g. the simulator:
--   sqlite3 -bail TarvoAutomation.mdb "UPDATE Server SET IPAddr = '127.0.0.1', IPPort = 1250"
-- Every column an event needs is written; every other column stays Null, which the engine reads
-- as 0 (off). Channels, salvos, optos and relays are counted from 1, as the switcher's panel
-- counts them. Times are local time on the engine's machine. Number must be unique.
BEGIN;

-- 1. Timed take: Monday 09:00:00, source 5 to output 12.
INSERT INTO Automation (Number, Day, Time, Title, Type, Active, xcontrol, SourceChan, DestChan)
VALUES (1, 0, '09:00:00', 'News to TX1', 0, 1, 1, 5, 12);

-- 2. Salvo: Monday 09:01:00, fire salvo 3.
INSERT INTO Automation (Number, Day, Time, Title, Type, Active, scontrol, Salvo)
VALUES (2, 0, '09:01:00', 'Salvo 3 for the news set', 0, 1, 1, 3);

-- 3. One-time: runs at the next Monday 09:02:00 and is then deleted from the database.
INSERT INTO Automation (Number, Day, Time, Title, Type, Active, xcontrol, SourceChan, DestChan)
VALUES (3, 0, '09:02:00', 'Jingle to TX2 once', 0, 3, 1, 7, 3);

-- 4. Skip: the next Monday 09:03:00 is passed over and the row set back to active (1), so it
--    runs the Monday after.
INSERT INTO Automation (Number, Day, Time, Title, Type, Active, xcontrol, SourceChan, DestChan)
VALUES (4, 0, '09:03:00', 'Sport to TX3, not this week', 0, 2, 1, 8, 4);

-- 5. Condition: at 09:04:00, source 2 to output 12 only if source 5 is on output 12 then
--    (Condition 1: a crosspoint is made; ReqSource to ReqDest).
INSERT INTO Automation (Number, Day, Time, Title, Type, Active, Condition, ReqSource, ReqDest,
                        xcontrol, SourceChan, DestChan)
VALUES (5, 0, '09:04:00', 'Studio 2 to TX1 if news is on', 0, 1, 1, 5, 12, 1, 2, 12);

-- 6. TCP message: at 09:05:00, the text NEWS START and a carriage return (^M) to port 5000 of
--    10.0.0.9 (mcontrol 1: text; mtype 1: TCP).
INSERT INTO Automation (Number, Day, Time, Title, Type, Active, mcontrol, mtype, Message,
                        MIPAddress, MIPPort)
VALUES (6, 0, '09:05:00', 'Tell playout: news', 0, 1, 1, 1, 'NEWS START^M', '10.0.0.9', 5000);

-- 7. UDP message: at 09:06:00, one datagram ON AIR and a carriage return to port 5001 of
--    10.0.0.9 (mcontrol 1: text; mtype 4: UDP).
INSERT INTO Automation (Number, Day, Time, Title, Type, Active, mcontrol, mtype, Message,
                        MIPAddress, MIPPort)
VALUES (7, 0, '09:06:00', 'Tell the clock: on air', 0, 1, 1, 4, 'ON AIR^M', '10.0.0.9', 5001);

-- 8. Serial message: at 09:07:00, TALLY 1 and a carriage return out of COM3 at 9600 bit/s
--    (mtype 2: serial; MCommPort counts from 0, so 2 is COM3; MBaudRate 1 is 9600).
INSERT INTO Automation (Number, Day, Time, Title, Type, Active, mcontrol, mtype, Message,
                        MCommPort, MBaudRate)
VALUES (8, 0, '09:07:00', 'Tally panel on COM3', 0, 1, 1, 2, 'TALLY 1^M', 2, 1);

-- 9. System change: at 09:08:00, load the input names from inputs.alp in the program folder
--    into the switcher (FileType 1: input alphas).
INSERT INTO Automation (Number, Day, Time, Title, Type, Active, FileType, FileName)
VALUES (9, 0, '09:08:00', 'Load the input names', 0, 1, 1, 'inputs.alp');

-- 10. Source select: at 09:09:00, device 3 selects its source 10.
INSERT INTO Automation (Number, Day, Time, Title, Type, Active, sscontrol, ssSource, ssDeviceID)
VALUES (10, 0, '09:09:00', 'Device 3 to source 10', 0, 1, 1, 10, 3);

-- Triggered rows run only on their Day (here Monday: one row per day for every day), whenever
-- the trigger comes; their Time is not read, and '24:00:00' keeps them off the clock.

-- 11. Opto trigger: when opto input 5 goes on (Type 1), source 9 to output 1.
INSERT INTO Automation (Number, Day, Time, Title, Type, Active, Opto, xcontrol, SourceChan, DestChan)
VALUES (11, 0, '24:00:00', 'Mic live: studio to TX4', 1, 1, 5, 1, 9, 1);

-- 12. Relay trigger: when relay 9 goes on (Type 4; the relay's number is in Opto), opto
--     output 3 on.
INSERT INTO Automation (Number, Day, Time, Title, Type, Active, Opto, ocontrol, OptoOut)
VALUES (12, 0, '24:00:00', 'Relay 9 on: cue light', 4, 1, 9, 1, 3);

-- 13. Crosspoint trigger: when source 3 is routed to output 12 (Type 3, tControl 1), fire
--     salvo 1.
INSERT INTO Automation (Number, Day, Time, Title, Type, Active, TriggerSource, TriggerDest,
                        tControl, scontrol, Salvo)
VALUES (13, 0, '24:00:00', 'Source 3 on TX1: salvo 1', 3, 1, 3, 12, 1, 1, 1);

-- 14. Delay: when opto input 5 goes off (Type 2), latch relay 2 five seconds later.
INSERT INTO Automation (Number, Day, Time, Title, Type, Active, Opto, Delay, rcontrol, Relay)
VALUES (14, 0, '24:00:00', 'Mic dead: relay 2 after 5 s', 2, 1, 5, 5, 1, 2);

COMMIT;
