// Who hears what of a watch, and when a watch host that ended unasked is
// started again. Pure: the service worker passes in what the host said and
// which watches are in front, and keeps the clock.

// Two results are the same news when their statuses (and card numbers) are.
export function resultKey(result) {
    return result.status === "card" ? `card:${result.cardno}` : result.status;
}

// What lies on the reader, as the watch host last told, and which watches
// heard it. A watch is { tab, heard, presentation }: the tab it is in, the
// key of what it last heard (null for nothing yet) and, for a card, which
// presentation that was (null when not known: the watch came back after the
// worker started anew).
//
// Each card message of a running host is a presentation of its own (the
// host sends a card once per presentation). It goes to the watches in front
// at the time, and to a watch that comes to the front later only if no
// other tab's watch heard it: one tab gets each card. The first message of a
// host started anew tells what lies there now; the same card as before is
// the same presentation, as nothing watched in between. Any other news
// reaches each watch in front once, when it is news to that watch.
export class Presentations {
    constructor() {
        this.current = null;
        this.known = false; // whether `current` is still what the reader shows
        this.presentation = 0;
        this.heardIn = null; // the tab whose watches heard the current card
        this.fresh = true; // the next message is the first of a host's start
    }

    // The running host says what the reader shows now.
    seen(result) {
        const same = this.fresh && this.current !== null && resultKey(this.current) === resultKey(result);
        if (result.status === "card" && !same) {
            this.presentation += 1;
            this.heardIn = null;
        }
        Object.assign(this, { current: result, known: true, fresh: false });
    }

    // The host ended unasked, which `result` tells until the next one starts.
    ended(result) {
        this.seen(result);
        this.fresh = true;
    }

    // The host was let go of: until the next one says, nobody knows.
    hostGone() {
        Object.assign(this, { known: false, fresh: true });
    }

    // What `watch`, in front, is to hear now, or null; marks it heard.
    next(watch) {
        const now = this.current;
        if (!this.known) return null;
        const key = resultKey(now);
        if (now.status !== "card") {
            if (watch.heard === key) return null;
            watch.heard = key;
            watch.presentation = null;
            return now;
        }
        if (this.heardIn !== null && this.heardIn !== watch.tab) return null;
        if (watch.heard === key && watch.presentation === null) watch.presentation = this.presentation;
        if (watch.heard === key && watch.presentation === this.presentation) return null;
        watch.heard = key;
        watch.presentation = this.presentation;
        this.heardIn = watch.tab;
        return now;
    }
}

// The pause before starting again a host that ended unasked: a second, twice
// as long after each further end, at most 30 seconds; a second again once a
// host had stayed up a minute. A library that crashes at each read so never
// starts a host every moment.
export class Backoff {
    constructor({ first = 1000, longest = 30000, steady = 60000 } = {}) {
        Object.assign(this, { first, longest, steady });
        this.pause = first;
    }

    // A host started at `startedAt` ended unasked at `now`: the pause before
    // the next start.
    ended(startedAt, now) {
        if (now - startedAt >= this.steady) this.pause = this.first;
        const pause = this.pause;
        this.pause = Math.min(pause * 2, this.longest);
        return pause;
    }
}
