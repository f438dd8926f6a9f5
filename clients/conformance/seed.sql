-- The conformance suite's start: members 1..11 (3, 5 and 9 invited by 1, 7 by 3, 11 by nobody), and specials.
INSERT INTO brix_member (member_id, inviter_id) VALUES (1, 0), (3, 1), (5, 1), (7, 3), (9, 1), (11, 0);
INSERT INTO brix_mb_special (special_id, member_id, reader_type) VALUES
  (97, 7, 0), (98, 7, 1), (99, 3, 0), (101, 5, 0), (102, 5, 1), (42, 3, 1);
