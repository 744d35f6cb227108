-- The fleet panel (qzmaster --panel): administrators, the audit trail, appeals, the reasons
-- given with bans made in the panel, and the indexes its ban pages page and search on.

-- Bans made by administrators are stored under the fleet's own server id "-", a row that never
-- takes packets (cut off, with a secret nobody knows).
INSERT INTO fleet_servers (id, secret, cut_off, added_at)
VALUES ('-', md5(random()::text) || md5(random()::text), true, 0)
ON CONFLICT (id) DO NOTHING;

-- The name as searched: its bytes read as LATIN1 (one character a byte, so any bytes a server
-- sent), colour codes (^ and the character after it, unless that is another ^) removed, upper
-- case. The panel sends searches as bytes alike (hexadecimal, decoded the same way).
CREATE FUNCTION panel_plain_name(bytea) RETURNS text LANGUAGE sql IMMUTABLE PARALLEL SAFE
    RETURN upper(regexp_replace(convert_from($1, 'LATIN1'), '\^([^^])', '', 'g'));

CREATE EXTENSION IF NOT EXISTS pg_trgm;
-- GUID prefixes (any case) and name parts; pages themselves walk the primary key.
CREATE INDEX panel_bans_guid_prefix ON fleet_bans (upper(guid) text_pattern_ops, id);
CREATE INDEX panel_bans_name_trgm ON fleet_bans USING gin (panel_plain_name(name) gin_trgm_ops);

CREATE TABLE panel_admins (
    name        text PRIMARY KEY CHECK (name ~ '^[A-Za-z0-9_.-]{1,32}$'),
    level       text NOT NULL CHECK (level IN ('view', 'ban', 'all')),
    hash        text NOT NULL,      -- argon2id string
    added_at    bigint NOT NULL
);

CREATE TABLE panel_audit (
    id          bigserial PRIMARY KEY,
    at          bigint NOT NULL,    -- unix seconds
    who         text NOT NULL,      -- administrator, or '-'
    from_addr   text NOT NULL,
    action      text NOT NULL,
    detail      text NOT NULL
);
CREATE INDEX panel_audit_who ON panel_audit (who, id);
CREATE INDEX panel_audit_action ON panel_audit (action, id);

CREATE TABLE panel_ban_reasons (
    ban_id      bigint PRIMARY KEY REFERENCES fleet_bans (id),
    reason      text NOT NULL
);

CREATE TABLE panel_appeals (
    id          bigserial PRIMARY KEY,
    ban_id      bigint NOT NULL REFERENCES fleet_bans (id),
    guid        text NOT NULL,
    body        text NOT NULL,
    contact     text NOT NULL,
    filed_at    bigint NOT NULL,
    from_addr   text NOT NULL,
    state       text NOT NULL DEFAULT 'open' CHECK (state IN ('open', 'accepted', 'rejected')),
    answer      text NOT NULL DEFAULT '',
    decided_by  text NOT NULL DEFAULT '',
    decided_at  bigint
);
CREATE INDEX panel_appeals_ban ON panel_appeals (ban_id, id);
CREATE INDEX panel_appeals_state ON panel_appeals (state, id);
CREATE INDEX panel_appeals_filed ON panel_appeals (filed_at);
