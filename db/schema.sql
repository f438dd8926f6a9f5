-- The two tables the daemon reads. Idempotent: safe to load again.
CREATE TABLE IF NOT EXISTS brix_member (
  member_id  INT NOT NULL,
  inviter_id INT NULL DEFAULT 0,
  PRIMARY KEY (member_id),
  KEY idx_inviter (inviter_id)
) ENGINE=InnoDB;

CREATE TABLE IF NOT EXISTS brix_mb_special (
  special_id  INT NOT NULL,
  member_id   INT NOT NULL,
  reader_type INT NULL DEFAULT 0,
  from_user   TINYINT NOT NULL DEFAULT 1,
  state       TINYINT NOT NULL DEFAULT 0,
  PRIMARY KEY (special_id),
  -- serves the load's filter and its order (member, then special) and covers its columns
  KEY idx_load (from_user, state, member_id, special_id, reader_type)
) ENGINE=InnoDB;
