"""What the daemon's store must hold after a sequence of mutations, for the soak test.

Each member's mutations are applied by the daemon in the order they were queued, so the model
is exact as long as every member is changed by one client that waits for each reply before its
next change, and no special id is used by two owners. Private feeds are kept as the sum of each
owner's contribution: the feed of F holds, for every owner O, the specials that O's own mutations
have put there (add_follow merges O's specials into F's feed, del_follow takes them out again,
add_special and del_special reach the feeds of O's follow list and O itself). With disjoint ids
the contributions of different owners never touch each other, whatever order the workers apply
different members' messages in."""


class StoreModel:
    def __init__(self):
        self.own = {}          # member -> {special id: stored reader type}
        self.follows = {}      # member -> set of member ids it follows
        self.contribution = {}  # owner -> {feed member: set of special ids}
        self.public = set()    # special ids in the public list

    def _feed_of(self, owner, member):
        return self.contribution.setdefault(owner, {}).setdefault(member, set())

    def add_follow(self, user, ids):
        ids = sorted(set(ids))
        self.follows.setdefault(user, set()).update(ids)
        snapshot = set(self.own.get(user, {}))
        self.own.setdefault(user, {})
        if snapshot:
            for member in ids:
                self._feed_of(user, member).update(snapshot)

    def del_follow(self, user, ids):
        ids = sorted(set(ids))
        self.follows.setdefault(user, set()).difference_update(ids)
        snapshot = set(self.own.setdefault(user, {}))
        if snapshot:
            for member in ids:
                self._feed_of(user, member).difference_update(snapshot)

    def add_special(self, user, items):
        """items: list of (special id, reader type), ids not repeated."""
        if not items:
            return
        own = self.own.setdefault(user, {})
        for special_id, reader_type in items:
            own.setdefault(special_id, reader_type & 0xff)
            if reader_type & 0xff == 0:
                self.public.add(special_id)
        ids = {special_id for special_id, _ in items}
        for member in self.follows.get(user, set()) | {user}:
            self._feed_of(user, member).update(ids)

    def del_special(self, user, items):
        if not items:
            return
        own = self.own.setdefault(user, {})
        for special_id, reader_type in items:
            own.pop(special_id, None)
            if reader_type & 0xff == 0:
                self.public.discard(special_id)
        ids = {special_id for special_id, _ in items}
        for member in self.follows.get(user, set()) | {user}:
            self._feed_of(user, member).difference_update(ids)

    # What the fetches must answer (all ids, newest first).
    def expected_self(self, user):
        return sorted(self.own.get(user, {}), reverse=True)

    def expected_follows(self, user):
        return sorted(self.follows.get(user, set()))

    def expected_public(self):
        return sorted(self.public, reverse=True)

    def feeds(self):
        """Every member whose private feed the model knows, with the expected ids."""
        feeds = {}
        for contributions in self.contribution.values():
            for member, ids in contributions.items():
                feeds.setdefault(member, set()).update(ids)
        return {member: sorted(ids, reverse=True) for member, ids in feeds.items()}

    def members(self):
        return set(self.own) | set(self.follows) | set(self.feeds())

    def load(self, specials, members):
        """The daemon's initial load: specials rows (special id, member id, reader type, from_user,
        state) and member rows (member id, inviter id), as the loaders filter and apply them."""
        for special_id, member, reader_type, from_user, state in sorted(specials,
                                                                        key=lambda r: (r[1], r[0])):
            if from_user == 1 and state == 0 and reader_type != 2:
                self.add_special(member, [(special_id, reader_type)])
        for member, inviter in sorted(members):
            if member > 0 and inviter > 0:
                self.add_follow(member, [inviter])
                self.add_follow(inviter, [member])
