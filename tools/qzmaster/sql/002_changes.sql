-- One order of changes: every fleet ban, every lift and every cut-off takes the next number of
-- fleet_change_seq. The number is taken under a transaction lock held until commit, so numbers
-- are in commit order: a reader that has seen change N has seen every change below N. Services
-- and servers follow this order ("the changes after the last one I applied"), never a clock.
-- Names are kept as the exact bytes a server sent (bytea). Unban reports keep their scope and
-- the bans they lifted, so a repeated report is answered alike and a different one refused.

CREATE SEQUENCE fleet_change_seq;
CREATE SEQUENCE fleet_master_epoch;

CREATE TABLE fleet_changes (
    seq         bigint PRIMARY KEY,
    kind        text NOT NULL CHECK (kind IN ('B', 'L', 'C')),
    ban_id      bigint REFERENCES fleet_bans (id),
    server_id   text REFERENCES fleet_servers (id),
    flag        boolean NOT NULL DEFAULT false,   -- C: cut off (true) or restored
    at          bigint NOT NULL,                  -- unix seconds
    by_whom     text NOT NULL DEFAULT '-'
);

DROP TRIGGER fleet_bans_notify ON fleet_bans;
DROP FUNCTION fleet_ban_notify();

ALTER TABLE fleet_bans ALTER COLUMN name TYPE bytea USING convert_to(name, 'UTF8');
ALTER TABLE fleet_unbans ADD COLUMN scope text NOT NULL DEFAULT 'fleet'
    CHECK (scope IN ('own', 'fleet'));
ALTER TABLE fleet_unbans ADD COLUMN lifted bigint[] NOT NULL DEFAULT '{}';

-- What existed before takes numbers in the order it happened.
INSERT INTO fleet_changes (seq, kind, ban_id, server_id, at)
    SELECT nextval('fleet_change_seq'), 'B', id, server_id, received FROM fleet_bans ORDER BY id;
INSERT INTO fleet_changes (seq, kind, ban_id, at, by_whom)
    SELECT nextval('fleet_change_seq'), 'L', id, lifted_at, coalesce(lifted_by, '-')
    FROM fleet_bans WHERE lifted_at IS NOT NULL ORDER BY lifted_at, id;

CREATE FUNCTION fleet_change(k text, ban bigint, server text, f boolean, t bigint, who text)
    RETURNS void LANGUAGE plpgsql AS $$
DECLARE
    n bigint;
BEGIN
    -- Held until commit: the next writer takes its number only after this one is visible.
    PERFORM pg_advisory_xact_lock(7162535);
    n := nextval('fleet_change_seq');
    INSERT INTO fleet_changes (seq, kind, ban_id, server_id, flag, at, by_whom)
        VALUES (n, k, ban, server, f, t, coalesce(who, '-'));
    PERFORM pg_notify('qz_fleet', 'N' || E'\t' || n);
END $$;

CREATE FUNCTION fleet_ban_change() RETURNS trigger LANGUAGE plpgsql AS $$
BEGIN
    IF TG_OP = 'INSERT' THEN
        PERFORM fleet_change('B', NEW.id, NEW.server_id, false, NEW.received, NULL);
    ELSIF OLD.lifted_at IS NULL AND NEW.lifted_at IS NOT NULL THEN
        PERFORM fleet_change('L', NEW.id, NULL, false, NEW.lifted_at, NEW.lifted_by);
    END IF;
    RETURN NULL;
END $$;
CREATE TRIGGER fleet_bans_change AFTER INSERT OR UPDATE OF lifted_at ON fleet_bans
    FOR EACH ROW EXECUTE FUNCTION fleet_ban_change();

CREATE FUNCTION fleet_cut_change() RETURNS trigger LANGUAGE plpgsql AS $$
BEGIN
    IF OLD.cut_off IS DISTINCT FROM NEW.cut_off THEN
        PERFORM fleet_change('C', NULL, NEW.id, NEW.cut_off,
            extract(epoch FROM now())::bigint, NULL);
    END IF;
    RETURN NULL;
END $$;
CREATE TRIGGER fleet_servers_cut AFTER UPDATE OF cut_off ON fleet_servers
    FOR EACH ROW EXECUTE FUNCTION fleet_cut_change();
