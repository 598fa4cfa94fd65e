-- Seed data of the simulated client: database 1 of a freshly logged-in account.
-- Rooms are rows of `contact` too (type 2), with their details in `room` and `room_member`.
-- Re-running this file restores the initial state.
DROP TABLE IF EXISTS room_member;
DROP TABLE IF EXISTS room;
DROP TABLE IF EXISTS friend_request;
DROP TABLE IF EXISTS contact;

CREATE TABLE contact (
  username TEXT PRIMARY KEY,          -- account id (uid)
  alias TEXT NOT NULL DEFAULT '',     -- account name chosen by the user
  nickname TEXT,                      -- display name; the room name for rooms
  remark TEXT NOT NULL DEFAULT '',    -- the logged-in user's note on the contact
  type INTEGER NOT NULL DEFAULT 1,    -- 1 friend, 2 room, 3 public account
  avatar TEXT NOT NULL DEFAULT '',
  signature TEXT NOT NULL DEFAULT '',
  region TEXT NOT NULL DEFAULT ''
);

CREATE TABLE room (
  room_uid TEXT PRIMARY KEY REFERENCES contact(username),
  owner TEXT NOT NULL,
  notice TEXT NOT NULL DEFAULT ''
);

CREATE TABLE room_member (
  room_uid TEXT NOT NULL REFERENCES room(room_uid),
  uid TEXT NOT NULL,
  display_name TEXT NOT NULL DEFAULT '',
  joined_seq INTEGER NOT NULL,
  PRIMARY KEY (room_uid, uid)
);

-- Friend requests the user has received and not answered yet.
CREATE TABLE friend_request (
  encryptusername TEXT PRIMARY KEY,
  uid TEXT NOT NULL,
  nickname TEXT NOT NULL,
  ticket TEXT NOT NULL,
  scene INTEGER NOT NULL
);

INSERT INTO contact (username, alias, nickname, remark, type, avatar, signature, region) VALUES
  ('uid_echo', 'echo', 'Echo', '', 1, 'https://avatar.invalid/uid_echo.png', 'I say what you say', ''),
  ('uid_alice', 'alice', 'Alice', 'Alice from work', 1, 'https://avatar.invalid/uid_alice.png', 'Hello there', 'Berlin'),
  ('uid_bob', 'bob_b', 'Bob', '', 1, 'https://avatar.invalid/uid_bob.png', '', 'Lyon'),
  ('filehelper', '', 'File Transfer', '', 1, '', '', ''),
  ('gh_corvid_news', 'corvid_news', 'Corvid News', '', 3, 'https://avatar.invalid/gh_corvid_news.png', 'News of the week', ''),
  ('room_demo@chatroom', '', 'Demo Room', '', 2, '', '', '');

INSERT INTO room (room_uid, owner, notice) VALUES
  ('room_demo@chatroom', 'uid_standin', 'Welcome to the demo room');

INSERT INTO room_member (room_uid, uid, display_name, joined_seq) VALUES
  ('room_demo@chatroom', 'uid_standin', 'Corvid Stand-in', 1),
  ('room_demo@chatroom', 'uid_alice', 'Alice', 2),
  ('room_demo@chatroom', 'uid_bob', 'Bob', 3);

INSERT INTO friend_request (encryptusername, uid, nickname, ticket, scene) VALUES
  ('v3_carol_request', 'uid_carol', 'Carol', 'v4_carol_ticket', 30);
