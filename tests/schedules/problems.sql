-- A row for each way a row can fail to do what it says; `tarvo-engined --check` lists each one
-- once. Load it after docs/TarvoAutomation.sql. The files it names are made by the tests that
-- load it: not-alphas.alp (a file of another kind), broken.alp (output alphas of no layout) and
-- a folder folder.txt; missing.txt and missing.alp are not there.
BEGIN;

-- Timed rows that never fall due.
INSERT INTO Automation (Number, Day, Time, Title, Type, Active) VALUES
  (1, 7, '09:00:00', 'Day none', 0, 1),
  (2, 0, '24:00:00', 'Not on the clock', 0, 1),
  (3, 0, '25:61:00', 'No time of day', 0, 1),
  (4, 0, '09:01:00', 'Active true', 0, -1);

-- Actions whose operands are refused every time.
INSERT INTO Automation (Number, Day, Time, Title, Type, Active, xcontrol, SourceChan, DestChan)
VALUES (5, 0, '09:02:00', 'Take from nowhere', 0, 1, 1, 0, 12);
INSERT INTO Automation (Number, Day, Time, Title, Type, Active, rcontrol, Relay)
VALUES (6, 0, '09:02:00', 'Latch no relay', 0, 1, 1, 0);
INSERT INTO Automation (Number, Day, Time, Title, Type, Active, ocontrol, OptoOut)
VALUES (7, 0, '09:02:00', 'No opto on', 0, 1, 1, 0);
INSERT INTO Automation (Number, Day, Time, Title, Type, Active, sscontrol, ssSource, ssDeviceID) VALUES
  (8, 0, '09:02:00', 'Select no source', 0, 1, 1, 0, 3),
  (9, 0, '09:02:00', 'Select on no device', 0, 1, 1, 10, 0);
INSERT INTO Automation (Number, Day, Time, Title, Type, Active, vcontrol, VChan, Gain)
VALUES (10, 0, '09:02:00', 'Gain of no channel', 0, 1, 1, 0, 1024);
INSERT INTO Automation (Number, Day, Time, Title, Type, Active, rccontrol, rcRelay, rcOpto) VALUES
  (11, 0, '09:02:00', 'Associate no relay', 0, 1, 1, 0, 5),
  (12, 0, '09:02:00', 'Associate no opto', 0, 1, 1, 2, 0);

-- Messages that never go out.
INSERT INTO Automation (Number, Day, Time, Title, Type, Active, mcontrol, mtype, Message, MIPAddress, MIPPort) VALUES
  (13, 0, '09:03:00', 'File not there', 0, 1, 3, 1, 'missing.txt', '10.0.0.9', 5000),
  (14, 0, '09:03:00', 'Folder as file', 0, 1, 4, 4, 'folder.txt', '10.0.0.9', 5001),
  (15, 0, '09:03:00', 'Message kind 2', 0, 1, 2, 1, 'x', '10.0.0.9', 5000),
  (16, 0, '09:03:00', 'Peer by name', 0, 1, 1, 1, 'ON AIR', 'playout.local', 5000),
  (17, 0, '09:03:00', 'Peer not set', 0, 1, 1, 4, 'ON AIR', '0.0.0.0', 5001),
  (18, 0, '09:03:00', 'Port too high', 0, 1, 1, 1, 'ON AIR', '10.0.0.9', 70000),
  (19, 0, '09:03:00', 'Through the switcher', 0, 1, 1, 3, 'ON AIR', '10.0.0.9', 5000),
  (20, 0, '09:03:00', 'No transport', 0, 1, 1, 0, 'ON AIR', '10.0.0.9', 5000);
-- A triggered run (like a delayed one) logs no refusal for a message it could not send.
INSERT INTO Automation (Number, Day, Time, Title, Type, Active, Opto, mcontrol, mtype, Message, MIPAddress, MIPPort)
VALUES (34, 0, '24:00:00', 'Opto 6 message', 1, 1, 6, 1, 4, 'ON AIR', '0.0.0.0', 5001);

-- Uploads that are refused.
INSERT INTO Automation (Number, Day, Time, Title, Type, Active, FileType, FileName) VALUES
  (21, 0, '09:04:00', 'Alphas not there', 0, 1, 1, 'missing.alp'),
  (22, 0, '09:04:00', 'Alphas of another kind', 0, 1, 1, 'not-alphas.alp'),
  (23, 0, '09:04:00', 'Alphas of no layout', 0, 1, 2, 'broken.alp'),
  (24, 0, '09:04:00', 'No kind of file', 0, 1, -1, 'not-alphas.alp');

-- Conditions on numbers the switcher cannot have.
INSERT INTO Automation (Number, Day, Time, Title, Type, Active, scontrol, Salvo,
                        Condition, ReqOpto, ReqRelay, Condition2, ReqSource2, ReqDest2) VALUES
  (25, 0, '09:05:00', 'If opto 0 is on', 0, 1, 1, 1, 5, 0, NULL, 0, NULL, NULL),
  (26, 0, '09:05:00', 'If relay 16385 is off', 0, 1, 1, 1, 4, NULL, 16385, 0, NULL, NULL),
  (27, 0, '09:05:00', 'If source 3 is on output 0', 0, 1, 1, 1, 0, NULL, NULL, 1, 3, 0);

-- Triggers that never come.
INSERT INTO Automation (Number, Day, Time, Title, Type, Active, Opto, TriggerSource, TriggerDest, tControl, scontrol, Salvo) VALUES
  (28, 0, '24:00:00', 'Opto 0 on', 1, 1, 0, NULL, NULL, NULL, 1, 1),
  (29, 0, '24:00:00', 'Relay 20000 on', 4, 1, 20000, NULL, NULL, NULL, 1, 1),
  (30, 0, '24:00:00', 'No crosspoint change', 3, 1, NULL, 3, 12, 0, 1, 1),
  (31, 0, '24:00:00', 'Source 0 routed', 3, 1, NULL, 0, 12, 1, 1, 1),
  (32, 7, '24:00:00', 'Opto on no day', 2, 1, 5, NULL, NULL, NULL, 1, 1);

-- A row of no kind.
INSERT INTO Automation (Number, Day, Time, Title, Type, Active) VALUES (35, 0, '09:07:00', 'No kind', -1, 1);

-- A one-time row whose Number another row shares: its delete after the run takes both.
INSERT INTO Automation (Number, Day, Time, Title, Type, Active, scontrol, Salvo) VALUES
  (33, 0, '09:06:00', 'Once, numbered twice', 0, 3, 1, 2),
  (33, 1, '09:06:00', 'Same Number', 0, 1, 1, 2);

-- A serial port beyond those the system names.
INSERT INTO Automation (Number, Day, Time, Title, Type, Active, mcontrol, mtype, Message, MCommPort, MBaudRate)
VALUES (36, 0, '09:03:00', 'Serial port 193', 0, 1, 1, 2, 'ON AIR', 192, 1);

-- A row without a Number: nothing could find it again to delete it after its run.
INSERT INTO Automation (Number, Day, Time, Title, Type, Active, scontrol, Salvo)
VALUES (NULL, 0, '09:08:00', 'No Number', 0, 3, 1, 1);

-- Day written as text: the editing tool and the engine read it as 0, Monday.
INSERT INTO Automation (Number, Day, Time, Title, Type, Active, xcontrol, SourceChan, DestChan)
VALUES (39, 'Wednesday', '09:04:00', 'Day as text', 0, 1, 1, 1, 2);

-- A row that runs and does nothing.
INSERT INTO Automation (Number, Day, Time, Title, Type, Active)
VALUES (40, 0, '09:05:00', 'Nothing to do', 0, 1);

-- A serial port this machine has no device for (a warning: the target may have it).
INSERT INTO Automation (Number, Day, Time, Title, Type, Active, mcontrol, mtype, Message, MCommPort, MBaudRate)
VALUES (41, 0, '09:06:00', 'Serial on COM150', 0, 1, 1, 2, 'ON AIR', 149, 1);

-- Two crosspoint triggers whose takes start one another.
INSERT INTO Automation (Number, Day, Time, Title, Type, Active, TriggerSource, TriggerDest, tControl, xcontrol, SourceChan, DestChan) VALUES
  (37, 0, '24:00:00', 'Source 3 on 12 takes 5', 3, 1, 3, 12, 1, 1, 5, 12),
  (38, 0, '24:00:00', 'Source 5 on 12 takes 3', 3, 1, 5, 12, 1, 1, 3, 12);

COMMIT;
