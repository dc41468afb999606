-- An empty Tarvo automation database at schema version 18.
--   sqlite3 TarvoAutomation.mdb < docs/TarvoAutomation.sql
-- Column names are matched without regard to case. Integer and Long columns are INTEGER,
-- Text(n) columns are TEXT (n is the editing tool's limit). Flags are -1 for true, 0 for false.

CREATE TABLE Type (
    Type TEXT                      -- "Automation"
);

CREATE TABLE Server (
    IPPort INTEGER,                -- switcher TCP port (1250 when not above 0)
    IPAddr TEXT,                   -- switcher IPv4 address
    SlaveIPPort TEXT,              -- Text(10): slave switcher TCP port
    SlaveIPAddr TEXT,              -- Text(15): slave switcher address, "0.0.0.0" = no slave
    TaskViewDB TEXT                -- Text(255): folder of the task-viewer copy, "" or " " = none
);

CREATE TABLE Info (
    Version TEXT,                  -- Text(10): schema version
    Future1 TEXT,                  -- Text(255): station title shown in the caption
    Future2 TEXT, Future3 TEXT, Future4 TEXT, Future5 TEXT,
    StartMin INTEGER,              -- start minimised to the tray
    MaxTallyFile INTEGER,          -- activity-log size limit in KB, 0 or less = no limit
    ArchiveTally INTEGER           -- archive the activity log when it reaches the limit
);

CREATE TABLE Automation (
    Number INTEGER,                -- event number, the key the engine finds a row by
    Day INTEGER,                   -- 0 Monday .. 6 Sunday, 7 none
    Days TEXT,                     -- day text kept by the editing tool
    Time TEXT,                     -- "HH:MM:SS", "24:00:00" = not on the clock
    Title TEXT,
    SourceChan INTEGER, DestChan INTEGER,
    ReqSource INTEGER, ReqDest INTEGER,
    Active INTEGER,                -- 0 inactive, 1 active, 2 skip next run, 3 run once
    Relay INTEGER, Opto INTEGER, Salvo INTEGER, VChan INTEGER, Gain INTEGER,
    xcontrol INTEGER, rcontrol INTEGER, scontrol INTEGER, vcontrol INTEGER,
    Type INTEGER,                  -- 0 timed, 1/2 opto on/off, 3 crosspoint, 4/5 relay on/off
    Condition INTEGER,
    FileName TEXT, FileType INTEGER,
    -- version 2
    TriggerSource INTEGER, TriggerDest INTEGER, TControl INTEGER,
    Message TEXT, MControl INTEGER, MType INTEGER, Method TEXT,
    Future1 TEXT, Future2 TEXT, Future3 TEXT, Future4 TEXT, Future5 TEXT,
    -- version 4
    MIPAddress TEXT, MIPPort INTEGER, MFrame INTEGER, MSlot INTEGER, MPort INTEGER,
    MCommPort INTEGER, MBaudRate INTEGER,
    -- version 6
    Color INTEGER,
    -- version 8
    FFrame INTEGER, FSlot INTEGER,
    -- version 9
    OptoOut INTEGER, OControl INTEGER,
    -- version 11
    ReqOpto INTEGER, ReqRelay INTEGER, OptoCondition INTEGER, RelayCondition INTEGER,
    -- version 12
    Template INTEGER,
    -- version 13
    RcControl INTEGER, RcOpto INTEGER, RcRelay INTEGER,
    -- version 14
    ReqSource2 INTEGER, ReqDest2 INTEGER, Condition2 INTEGER, ReqOpto2 INTEGER,
    ReqRelay2 INTEGER, OptoCondition2 INTEGER, RelayCondition2 INTEGER, Priority INTEGER,
    -- version 15
    Delay INTEGER,
    -- version 16
    Option INTEGER,
    -- version 17
    ssSource INTEGER, ssDeviceID INTEGER, ssControl INTEGER,
    -- version 18
    FileChannel1 INTEGER
);

INSERT INTO Type (Type) VALUES ('Automation');
INSERT INTO Server (IPPort, IPAddr, SlaveIPPort, SlaveIPAddr, TaskViewDB)
    VALUES (1250, '0.0.0.0', '1250', '0.0.0.0', ' ');
INSERT INTO Info (Version, Future1, StartMin, MaxTallyFile, ArchiveTally)
    VALUES ('18', ' ', 0, 1000, -1);
