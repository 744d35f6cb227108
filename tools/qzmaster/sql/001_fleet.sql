-- Fleet bans: the servers of the fleet, the bans they report, the unban reports, and which
-- server asked about which GUID. Every change a running service must learn is announced on the
-- channel qz_fleet with the record line the file store would write (see docs/fleet-service.md).

CREATE TABLE fleet_servers (
    id          text PRIMARY KEY CHECK (id ~ '^[A-Za-z0-9_.-]{1,32}$'),
    secret      text NOT NULL CHECK (secret ~ '^[0-9a-f]{64}$'),
    cut_off     boolean NOT NULL DEFAULT false,
    added_at    bigint NOT NULL,
    -- highest counter taken from it (replay protection across restarts)
    recv_high   bigint NOT NULL DEFAULT 0,
    -- where its last authenticated packet came from ("a.b.c.d:port")
    last_addr   text NOT NULL DEFAULT ''
);

CREATE TABLE fleet_bans (
    id          bigserial PRIMARY KEY,
    server_id   text NOT NULL REFERENCES fleet_servers (id),
    report_id   text NOT NULL,      -- the server's report id, lowercase hex
    guid        text NOT NULL CHECK (guid ~ '^[A-Za-z0-9]{1,32}$'),
    name        text NOT NULL,
    address     text NOT NULL,
    origin      text NOT NULL,
    ban_time    bigint NOT NULL,    -- unix seconds, as the server reported it
    length_min  bigint NOT NULL CHECK (length_min >= 0),   -- 0: permanent
    received    bigint NOT NULL,    -- unix seconds at the service
    lifted_at   bigint,
    lifted_by   text,
    UNIQUE (server_id, report_id)
);
CREATE INDEX fleet_bans_live_guid ON fleet_bans (upper(guid)) WHERE lifted_at IS NULL;

CREATE TABLE fleet_unbans (
    server_id   text NOT NULL REFERENCES fleet_servers (id),
    report_id   text NOT NULL,
    guid        text NOT NULL,
    ban_id      bigint NOT NULL,    -- 0: every live ban of the GUID
    received    bigint NOT NULL,
    PRIMARY KEY (server_id, report_id)
);

CREATE TABLE fleet_interest (
    guid        text NOT NULL,      -- upper case
    server_id   text NOT NULL REFERENCES fleet_servers (id),
    asked_at    bigint NOT NULL,
    PRIMARY KEY (guid, server_id)
);

CREATE FUNCTION fleet_ban_notify() RETURNS trigger LANGUAGE plpgsql AS $$
BEGIN
    IF TG_OP = 'INSERT' THEN
        PERFORM pg_notify('qz_fleet', concat_ws(E'\t', 'B', NEW.id, NEW.server_id, NEW.report_id,
            NEW.guid, NEW.ban_time, NEW.length_min, NEW.address, NEW.origin, NEW.received,
            NEW.name));
    ELSIF OLD.lifted_at IS NULL AND NEW.lifted_at IS NOT NULL THEN
        PERFORM pg_notify('qz_fleet', concat_ws(E'\t', 'L', NEW.id, NEW.lifted_by, NEW.lifted_at));
    END IF;
    RETURN NULL;
END $$;
CREATE TRIGGER fleet_bans_notify AFTER INSERT OR UPDATE OF lifted_at ON fleet_bans
    FOR EACH ROW EXECUTE FUNCTION fleet_ban_notify();

CREATE FUNCTION fleet_server_notify() RETURNS trigger LANGUAGE plpgsql AS $$
BEGIN
    PERFORM pg_notify('qz_fleet', concat_ws(E'\t', 'V', NEW.id));
    RETURN NULL;
END $$;
CREATE TRIGGER fleet_servers_notify AFTER INSERT OR UPDATE OF secret, cut_off, last_addr
    ON fleet_servers FOR EACH ROW EXECUTE FUNCTION fleet_server_notify();

CREATE FUNCTION fleet_interest_notify() RETURNS trigger LANGUAGE plpgsql AS $$
BEGIN
    PERFORM pg_notify('qz_fleet', concat_ws(E'\t', 'I', NEW.guid, NEW.server_id, NEW.asked_at));
    RETURN NULL;
END $$;
CREATE TRIGGER fleet_interest_notify AFTER INSERT OR UPDATE ON fleet_interest
    FOR EACH ROW EXECUTE FUNCTION fleet_interest_notify();
