-- 32767 rows (the most the engine's 16-bit indices allow) with a value in every one of the 69
-- columns of Automation: what the editing tool leaves behind. One timed or triggered event in
-- eleven is triggered; times spread over the day with many ties on the same second.
-- Used by bench/store_bench.cpp and bench/load_memory.sh.
WITH RECURSIVE n(i) AS (SELECT 0 UNION ALL SELECT i + 1 FROM n WHERE i < 32766)
INSERT INTO Automation (Number, Day, Days, Time, Title, SourceChan, DestChan, ReqSource, ReqDest,
    Active, Relay, Opto, Salvo, VChan, Gain, xcontrol, rcontrol, scontrol, vcontrol, Type,
    Condition, FileName, FileType, TriggerSource, TriggerDest, TControl, Message, MControl, MType,
    Method, Future1, Future2, Future3, Future4, Future5, MIPAddress, MIPPort, MFrame, MSlot, MPort,
    MCommPort, MBaudRate, Color, FFrame, FSlot, OptoOut, OControl, ReqOpto, ReqRelay,
    OptoCondition, RelayCondition, Template, RcControl, RcOpto, RcRelay, ReqSource2, ReqDest2,
    Condition2, ReqOpto2, ReqRelay2, OptoCondition2, RelayCondition2, Priority, Delay, Option,
    ssSource, ssDeviceID, ssControl, FileChannel1)
SELECT i, i % 7, 'Mon,Tue', printf('%02d:%02d:%02d', (i * 7919 % 86400) / 3600, (i * 7919 % 86400) / 60 % 60,
           (i * 7919 % 86400) % 60 / 10 * 10),
       'Event ' || i, 1 + i % 64, 1 + i % 32, 0, 0, 1, 0, CASE WHEN i % 11 = 0 THEN 1 + i % 8 ELSE 0 END,
       0, 0, 1024, 1, 0, 0, 0, CASE WHEN i % 11 = 0 THEN 1 + i % 5 ELSE 0 END,
       0, ' ', 0, 1 + i % 16, 1 + i % 8, 1 + i % 4, ' ', 0, 0,
       ' ', ' ', ' ', ' ', ' ', ' ', '0.0.0.0', 0, 0, 0, 0,
       0, 1, 16777215, 0, 0, 0, 0, 0, 0,
       0, 0, 0, 0, 0, 0, 0, 0,
       0, 0, 0, 0, 0, i % 3, i % 4 * 10, 0,
       0, 0, 0, 0
FROM n;
