#include "statements.h"

namespace fleet {

// Paths in answers: folder, name and ordinal, ordered by their bytes on
// both engines.
#define FILE_ORDER "fo.name COLLATE {{binary}}, p.name COLLATE {{binary}}"

const NamedStatement kStatements[] = {
    {"schema_version", "SELECT value FROM fleet_meta WHERE name = 'schema_version'"},
    {"schema_version_set", "INSERT INTO fleet_meta (name, value) VALUES ('schema_version', ?1)"},

    {"group_find", "SELECT id FROM host_group WHERE name = ?1"},
    // Imports running at once on a server may add the same group or host:
    // the later one waits for the first, then finds its row.
    {"group_add", "INSERT INTO host_group (name) VALUES (?1) ON CONFLICT (name) DO NOTHING RETURNING id"},
    {"group_golden", "SELECT golden_host, golden_round, golden_set FROM host_group WHERE id = ?1"},
    {"host_find",
     "SELECT h.id, h.group_id, g.name FROM host h JOIN host_group g ON g.id = h.group_id WHERE h.name = ?1"},
    {"host_add", "INSERT INTO host (name, group_id) VALUES (?1, ?2) ON CONFLICT (name) DO NOTHING RETURNING id"},
    // Imports of one host take turns: each numbers its round after the last.
    {"host_lock", "UPDATE host SET group_id = group_id WHERE id = ?1"},

    {"round_same", "SELECT seq FROM round WHERE host_id = ?1 AND unique_id = ?2"},
    {"round_last", "SELECT seq, generated, id FROM round WHERE host_id = ?1 ORDER BY seq DESC LIMIT 1"},
    {"round_first", "SELECT seq, generated, id FROM round WHERE host_id = ?1 ORDER BY seq LIMIT 1"},
    {"round_by_seq", "SELECT seq, generated, id FROM round WHERE host_id = ?1 AND seq = ?2"},
    {"round_by_date",
     "SELECT seq, generated, id FROM round WHERE host_id = ?1 AND generated <= ?2 ORDER BY seq DESC LIMIT 1"},
    {"round_add",
     "INSERT INTO round (host_id, seq, unique_id, generated, sid, imported, entries) "
     "VALUES (?1, ?2, ?3, ?4, ?5, ?6, 0) RETURNING id"},
    {"round_entries", "UPDATE round SET entries = ?2 WHERE id = ?1"},

    // The import: the passport is loaded into the scratch table incoming,
    // then merged into the store by a few set statements. Known values are
    // passed over by an index look-up, which costs less than a conflict; a
    // new value met twice in one statement is skipped by its conflict.
    // New values go in sorted by key, so imports of several hosts running
    // at once on a server wait for each other's values in one order and
    // never deadlock.
    {"folders_add",
     "INSERT INTO folder (digest, name) SELECT folder_digest, folder FROM incoming i WHERE NOT EXISTS "
     "(SELECT 1 FROM folder fo WHERE fo.digest = i.folder_digest) ORDER BY folder_digest ON CONFLICT (digest) DO NOTHING"},
    {"paths_add",
     "INSERT INTO path (folder_id, name, name_digest, folded_digest) "
     "SELECT fo.id, i.name, i.name_digest, i.folded_digest FROM incoming i "
     "JOIN folder fo ON fo.digest = i.folder_digest WHERE NOT EXISTS "
     "(SELECT 1 FROM path p WHERE p.folder_id = fo.id AND p.name_digest = i.name_digest) "
     "ORDER BY fo.id, i.name_digest ON CONFLICT (folder_id, name_digest) DO NOTHING"},
    {"contents_add",
     "INSERT INTO content (digest, checksum, size, type, description, file_version, company, product, product_version) "
     "SELECT digest, checksum, CAST(size AS BIGINT), type, description, file_version, company, product, "
     "product_version FROM incoming i WHERE NOT EXISTS (SELECT 1 FROM content c WHERE c.digest = i.digest) "
     "ORDER BY digest ON CONFLICT (digest) DO NOTHING"},
    {"incoming_resolve",
     "INSERT INTO resolved (path_id, ordinal, content_id, change_time) "
     "SELECT p.id, i.ordinal, c.id, i.change_time FROM incoming i "
     "JOIN folder fo ON fo.digest = i.folder_digest JOIN path p ON p.folder_id = fo.id AND p.name_digest = i.name_digest "
     "JOIN content c ON c.digest = i.digest"},
    // The embedded engine's import, entry by entry: the path and the
    // host's open row for it, with the content to compare.
    {"folder_find", "SELECT id FROM folder WHERE digest = ?1"},
    {"folder_add", "INSERT INTO folder (digest, name) VALUES (?1, ?2) RETURNING id"},
    {"file_current",
     "SELECT p.id, f.first_round, f.content_id, c.digest, f.change_time FROM path p "
     "LEFT JOIN host_file f ON f.host_id = ?1 AND f.path_id = p.id AND f.ordinal = ?3 AND f.closed_round IS NULL "
     "LEFT JOIN content c ON c.id = f.content_id WHERE p.folder_id = ?2 AND p.name_digest = ?4"},
    {"path_find", "SELECT id FROM path WHERE folder_id = ?1 AND name_digest = ?2"},
    {"path_add",
     "INSERT INTO path (folder_id, name, name_digest, folded_digest) VALUES (?1, ?2, ?3, ?4) RETURNING id"},
    {"content_find", "SELECT id FROM content WHERE digest = ?1"},
    {"content_add",
     "INSERT INTO content (digest, checksum, size, type, description, file_version, company, product, product_version) "
     "VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9) RETURNING id"},
    {"file_close",
     "UPDATE host_file SET closed_round = ?5 WHERE host_id = ?1 AND path_id = ?2 AND ordinal = ?3 AND first_round = ?4"},
    {"file_open",
     "INSERT INTO host_file (host_id, path_id, ordinal, first_round, closed_round, content_id, change_time) "
     "VALUES (?1, ?2, ?3, ?4, NULL, ?5, ?6)"},
    {"files_open_before",
     "SELECT path_id, ordinal, first_round FROM host_file WHERE host_id = ?1 AND closed_round IS NULL "
     "AND first_round <> ?2"},
    // Rows of files that changed or went.
    {"files_close",
     "UPDATE host_file SET closed_round = ?2 WHERE host_id = ?1 AND closed_round IS NULL AND NOT EXISTS "
     "(SELECT 1 FROM resolved r WHERE r.path_id = host_file.path_id AND r.ordinal = host_file.ordinal "
     "AND r.content_id = host_file.content_id AND r.change_time = host_file.change_time)"},
    // Rows of files that are new or changed; an unchanged file still has
    // its open row and is left alone.
    {"files_open",
     "INSERT INTO host_file (host_id, path_id, ordinal, first_round, closed_round, content_id, change_time) "
     "SELECT ?1, r.path_id, r.ordinal, ?2, NULL, r.content_id, r.change_time FROM resolved r WHERE NOT EXISTS "
     "(SELECT 1 FROM host_file f WHERE f.host_id = ?1 AND f.path_id = r.path_id AND f.ordinal = r.ordinal "
     "AND f.closed_round IS NULL)"},

    // Host by host: the file rows' indexes are led by the host, so each
    // host is one seek (CROSS JOIN keeps the embedded engine in this order).
    {"hosts_with_checksum",
     "SELECT h.name, g.name, fo.name, p.name, c.size, c.file_version, r.seq, r.generated, c.checksum "
     "FROM content c CROSS JOIN host h CROSS JOIN host_file f {{by_host_content}} "
     "JOIN host_group g ON g.id = h.group_id JOIN path p ON p.id = f.path_id JOIN folder fo ON fo.id = p.folder_id "
     "JOIN round r ON r.id = f.first_round WHERE c.checksum = ?1 AND f.host_id = h.id AND f.content_id = c.id "
     "AND f.closed_round IS NULL "
     "ORDER BY h.name COLLATE {{binary}}, " FILE_ORDER},
    {"hosts_with_name",
     "SELECT h.name, g.name, fo.name, p.name, c.size, c.file_version, r.seq, r.generated, c.checksum "
     "FROM path p CROSS JOIN host h CROSS JOIN host_file f "
     "JOIN content c ON c.id = f.content_id JOIN host_group g ON g.id = h.group_id JOIN folder fo ON fo.id = p.folder_id "
     "JOIN round r ON r.id = f.first_round WHERE p.folded_digest = ?1 AND f.host_id = h.id AND f.path_id = p.id "
     "AND f.closed_round IS NULL "
     "AND (?2 = '' OR c.file_version = ?2) ORDER BY h.name COLLATE {{binary}}, " FILE_ORDER},

    // Since base round ?2: files whose open row came later, against the
    // row they had at ?2 (none: added).
    {"changes_present",
     "SELECT fo.name, p.name, n.ordinal, rn.seq, rn.generated, cb.checksum, cn.checksum, b.change_time, n.change_time, "
     "cb.file_version, cn.file_version, cb.size, cn.size "
     "FROM host_file n JOIN path p ON p.id = n.path_id JOIN folder fo ON fo.id = p.folder_id "
     "JOIN round rn ON rn.id = n.first_round JOIN content cn ON cn.id = n.content_id "
     "LEFT JOIN host_file b ON b.host_id = n.host_id AND b.path_id = n.path_id AND b.ordinal = n.ordinal "
     "AND b.first_round <= ?2 AND b.closed_round > ?2 "
     "LEFT JOIN content cb ON cb.id = b.content_id "
     "WHERE n.host_id = ?1 AND n.closed_round IS NULL AND n.first_round > ?2 "
     "AND (b.content_id IS NULL OR b.content_id <> n.content_id OR b.change_time <> n.change_time) "
     "ORDER BY " FILE_ORDER ", n.ordinal"},
    // Files held at ?2 and held no more.
    {"changes_gone",
     "SELECT fo.name, p.name, b.ordinal, rc.seq, rc.generated, cb.checksum, cb.file_version, cb.size "
     "FROM host_file b JOIN path p ON p.id = b.path_id JOIN folder fo ON fo.id = p.folder_id "
     "JOIN round rc ON rc.id = b.closed_round JOIN content cb ON cb.id = b.content_id "
     "WHERE b.host_id = ?1 AND b.first_round <= ?2 AND b.closed_round > ?2 AND NOT EXISTS "
     "(SELECT 1 FROM host_file n WHERE n.host_id = b.host_id AND n.path_id = b.path_id AND n.ordinal = b.ordinal "
     "AND n.closed_round IS NULL) ORDER BY " FILE_ORDER ", b.ordinal"},

    {"history_rows",
     "SELECT f.ordinal, r1.seq, r1.generated, r2.seq, r2.generated, c.checksum, c.size, c.file_version, f.change_time "
     "FROM host_file f JOIN path p ON p.id = f.path_id JOIN folder fo ON fo.id = p.folder_id "
     "JOIN content c ON c.id = f.content_id JOIN round r1 ON r1.id = f.first_round "
     "LEFT JOIN round r2 ON r2.id = f.closed_round "
     "WHERE f.host_id = ?1 AND fo.digest = ?2 AND p.name_digest = ?3 ORDER BY f.ordinal, f.first_round"},
    {"history_approvals",
     "SELECT a.ordinal, g.name, a.kind, c.checksum, a.approved_by, a.approved_at, a.reason "
     "FROM approval a JOIN host_group g ON g.id = a.group_id JOIN path p ON p.id = a.path_id "
     "JOIN folder fo ON fo.id = p.folder_id LEFT JOIN content c ON c.id = a.content_id "
     "WHERE a.host_id = ?1 AND fo.digest = ?2 AND p.name_digest = ?3 ORDER BY a.id"},

    {"golden_clear", "DELETE FROM golden WHERE group_id = ?1"},
    {"golden_take",
     "INSERT INTO golden (group_id, path_id, ordinal, content_id) SELECT ?1, path_id, ordinal, content_id "
     "FROM host_file WHERE host_id = ?2 AND first_round <= ?3 AND (closed_round IS NULL OR closed_round > ?3)"},
    {"golden_mark", "UPDATE host_group SET golden_host = ?2, golden_round = ?3, golden_set = ?4 WHERE id = ?1"},

    // Against the group's golden passport: what a host has that differs
    // from it or is not in it, then what it lacks; approved states left out.
    // The group's hosts are named first so both engines walk their rows by
    // the key's leading host column, not every host's open rows; only the
    // few rows that differ are then looked up further (MATERIALIZED keeps
    // the engines from folding those look-ups into the walk).
    {"deviations_present",
     "WITH d AS MATERIALIZED (SELECT f.host_id, f.path_id, f.ordinal, f.content_id, g.content_id AS golden_id "
     "FROM host_file f LEFT JOIN golden g ON g.group_id = ?1 AND g.path_id = f.path_id AND g.ordinal = f.ordinal "
     "WHERE f.host_id IN (SELECT id FROM host WHERE group_id = ?1 AND (?2 = 0 OR id = ?2)) "
     "AND f.closed_round IS NULL AND (g.content_id IS NULL OR g.content_id <> f.content_id)) "
     "SELECT h.name, CASE WHEN d.golden_id IS NULL THEN 'added' ELSE 'changed' END, fo.name, p.name, d.ordinal, "
     "cg.checksum, cf.checksum, cg.file_version, cf.file_version, h.id, d.path_id, d.content_id "
     "FROM d JOIN host h ON h.id = d.host_id LEFT JOIN content cg ON cg.id = d.golden_id "
     "JOIN content cf ON cf.id = d.content_id JOIN path p ON p.id = d.path_id JOIN folder fo ON fo.id = p.folder_id "
     "WHERE NOT EXISTS (SELECT 1 FROM approval a WHERE a.host_id = d.host_id AND a.path_id = d.path_id "
     "AND a.ordinal = d.ordinal AND a.group_id = ?1 AND a.content_id = d.content_id) "
     "ORDER BY h.name COLLATE {{binary}}, " FILE_ORDER ", d.ordinal"},
    {"deviations_absent",
     "SELECT h.name, 'removed', fo.name, p.name, g.ordinal, cg.checksum, NULL, cg.file_version, NULL, h.id, g.path_id, "
     "NULL FROM host h JOIN golden g ON g.group_id = ?1 JOIN content cg ON cg.id = g.content_id "
     "JOIN path p ON p.id = g.path_id JOIN folder fo ON fo.id = p.folder_id "
     "WHERE h.group_id = ?1 AND (?2 = 0 OR h.id = ?2) AND NOT EXISTS "
     "(SELECT 1 FROM host_file f WHERE f.host_id = h.id AND f.path_id = g.path_id AND f.ordinal = g.ordinal "
     "AND f.closed_round IS NULL) AND NOT EXISTS "
     "(SELECT 1 FROM approval a WHERE a.host_id = h.id AND a.path_id = g.path_id AND a.ordinal = g.ordinal "
     "AND a.group_id = ?1 AND a.content_id IS NULL) "
     "ORDER BY h.name COLLATE {{binary}}, " FILE_ORDER ", g.ordinal"},
    // The embedded engine's deviations (see deviation_merge.cpp): both
    // walks in key order, then the few files that differ looked up.
    {"golden_files", "SELECT path_id, ordinal, content_id FROM golden WHERE group_id = ?1 ORDER BY path_id, ordinal"},
    {"group_hosts",
     "SELECT id, name FROM host WHERE group_id = ?1 AND (?2 = 0 OR id = ?2) ORDER BY name COLLATE {{binary}}"},
    {"host_files",
     "SELECT path_id, ordinal, content_id FROM host_file WHERE host_id = ?1 AND closed_round IS NULL "
     "ORDER BY path_id, ordinal"},
    {"content_detail", "SELECT checksum, file_version FROM content WHERE id = ?1"},
    {"path_detail", "SELECT folder_id, name FROM path WHERE id = ?1"},
    {"folder_detail", "SELECT name FROM folder WHERE id = ?1"},
    {"approval_any", "SELECT 1 FROM approval WHERE host_id = ?1 AND group_id = ?2 LIMIT 1"},
    {"approval_holds",
     "SELECT 1 FROM approval WHERE host_id = ?1 AND path_id = ?2 AND ordinal = ?3 AND group_id = ?4 "
     "AND (content_id = ?5 OR (?5 IS NULL AND content_id IS NULL)) LIMIT 1"},
    {"approval_add",
     "INSERT INTO approval (group_id, host_id, path_id, ordinal, content_id, kind, approved_by, approved_at, reason) "
     "VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9)"},

    // Keys of paths written before they had them.
    {"paths_unkeyed", "SELECT id, name FROM path WHERE name_digest IS NULL ORDER BY id LIMIT ?1"},
    {"path_key_set", "UPDATE path SET name_digest = ?2, folded_digest = ?3 WHERE id = ?1"},
    {"count_rows", "SELECT (SELECT COUNT(*) FROM host_file), (SELECT COUNT(*) FROM content), "
                   "(SELECT COUNT(*) FROM path), (SELECT COUNT(*) FROM round)"},
    {nullptr, nullptr},
};

} // namespace fleet
