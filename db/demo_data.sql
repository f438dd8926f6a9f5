-- Demo content for the database `norvel`: 5,000 members in an invitation tree and 40,000
-- specials of reader types 0, 1 and 2. Deterministic (seeded RAND), so every run gives the same
-- data. Replaces whatever the two tables held. Loaded by scripts/seed_demo.sh.
DELETE FROM brix_mb_special;
DELETE FROM brix_member;

-- Member 1 founded the site; one member in twenty joined without an invitation. Everyone else
-- was invited by an earlier member, early members far more often (squaring the random draw
-- leans towards small ids), so a few inviters have hundreds of invitees and chains run deep.
INSERT INTO brix_member (member_id, inviter_id)
  SELECT seq,
         IF(seq = 1 OR RAND(seq * 7 + 1) < 0.05, 0,
            1 + FLOOR(POW(RAND(seq), 2) * (seq - 1)))
  FROM seq_1_to_5000;

-- Specials in the order they were posted: active (early) members post more. Six in ten are
-- public (reader type 0), a quarter are for followers only (1), the rest are type 2, which the
-- daemon does not load. A few were posted by the site itself (from_user 0) or deleted (state 1).
INSERT INTO brix_mb_special (special_id, member_id, reader_type, from_user, state)
  SELECT 100000 + seq,
         1 + FLOOR(POW(RAND(seq * 3 + 2), 1.5) * 5000),
         CASE WHEN RAND(seq * 5 + 3) < 0.60 THEN 0
              WHEN RAND(seq * 5 + 3) < 0.85 THEN 1
              ELSE 2 END,
         IF(RAND(seq * 11 + 4) < 0.02, 0, 1),
         IF(RAND(seq * 13 + 5) < 0.05, 1, 0)
  FROM seq_1_to_40000;
