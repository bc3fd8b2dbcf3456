/*
 * The broker's reclamation protocol, small enough for spin to check every interleaving.
 * docs/internals.md maps each step here to the code.
 *
 * Two threads send (each enters its guard, looks handle 0 up, uses the record, leaves), a third
 * sends Reload twice (inside its guard it takes BrokerLock and publishes a new list that leaves
 * one record out), and the module detaches at any moment. The first sender ends, hands its slot
 * back and calls in once more from a thread-exit hook; the second sender is a thread that starts
 * meanwhile and may take the slot handed back. The module may also stay attached throughout.
 *
 * Checked: nothing is freed while a sender may still read it; no lookup returns a record
 * unlisted by a change that completed before the lookup began; no two threads use one slot;
 * nothing is used after the detach freed it; no deadlock (invalid end states); and once every
 * thread has left, nothing retired is left unfreed (unless the detach found a thread inside and
 * left everything for the exiting process).
 *
 * Promela runs each statement atomically and in one global order: that is what the code's
 * sequentially consistent atomics (the pin, the epoch, the published list, the attached flag)
 * give. Steps that touch only a thread's own data are merged into the shared step they lead to.
 */

/* Two runs check it (scripts/model.sh): two reloads with the module attached throughout, and
 * one reload racing the detach. */
#ifndef DETACH
#define DETACH 0
#endif
#ifndef RELOADS
#define RELOADS 2
#endif

#define SLOTS 3
#define LISTS 3   /* list 0 is published first; Reload publishes lists 1 and 2 */
                  /* list n holds record n alone */
#define NONE 255
#define PRESENT 255 /* a slot's epoch while its thread leaves: seen by the detach, pins nothing */
#define SEND 0
#define RELOAD 1

byte epoch = 1;
byte current = 0;          /* the published list */
byte published = 0;        /* changes completed so far */
bool attached = true;
bool lockClosed = false;
byte lockOwner = 0;        /* 0: free; else the holder's token */

bool listFreed[LISTS];
bool recordFreed[LISTS];
byte unlistedBy[LISTS];    /* the change that unlisted the record; 0 while listed */

byte slotOwner[SLOTS];     /* a thread token; 0 while free */
byte slotEpoch[SLOTS];     /* pinned epoch; 0 outside every guard */
byte slotUsers[SLOTS];     /* threads inside a guard on that slot: at most 1 */

/* Retired lists, oldest first (Reload runs twice: at most two). */
byte retired[2];
byte retiredTag[2];
byte retiredCount = 0;
byte oldest = 0;           /* the tag of the oldest retired list, noted before each scan; 0: none */
bool wanted = false;       /* a leaving guard asked for freeing */
bool detachLeft = false;   /* the detach found a thread inside */

/* Frees every retired list (and the record its successor left out) that no slot pins at or
 * before the list's tag, oldest first. Before each scan the list's tag is noted in `oldest`. The
 * slots are read one at a time, as the code does. */
inline freeDue() {
    do
    :: retiredCount > 0 ->
        oldest = retiredTag[0];
        k = 0;
        blocked = false;
        do
        :: k < SLOTS ->
            atomic {
                blocked = blocked || (slotEpoch[k] != 0 && slotEpoch[k] != PRESENT &&
                                      slotEpoch[k] <= retiredTag[0]);
                k++
            }
        :: else -> break
        od;
        if
        :: blocked -> break
        :: else ->
            atomic {
                assert(!lockClosed);
                listFreed[retired[0]] = true;
                recordFreed[retired[0]] = true;
                retired[0] = retired[1];
                retiredTag[0] = retiredTag[1];
                retiredCount--;
                k = 0
            }
        fi
    :: else -> oldest = 0; break
    od;
    atomic { k = 0; blocked = false }
}

/* Frees what a leaving guard asked for while the lock is free; never waits: whoever holds the
 * lock looks again as it lets go (every release of the lock is followed by this). */
inline freeWanted() {
    do
    :: wanted ->
        if
        :: atomic { lockOwner == 0 -> lockOwner = me }
           wanted = false;
           freeDue();
           lockOwner = 0
        :: atomic { lockOwner != 0 -> skip };
           break
        fi
    :: else -> break
    od
}

/* Reload, inside the guard: under BrokerLock publish list `change` whole, retire the list it
 * replaces with the epoch that ends, move the epoch on, free what is due. */
inline reload() {
    atomic { lockOwner == 0 -> assert(!lockClosed); lockOwner = me }
    atomic {
        replaced = current;
        current = change
    }
    atomic {
        published++;
        unlistedBy[replaced] = published;
        retired[retiredCount] = replaced;
        retiredTag[retiredCount] = epoch;
        retiredCount++
    }
    epoch++;
    freeDue();
    atomic { lockOwner = 0; change++; replaced = 0 }
    freeWanted()
}

/* An export: the thread's slot (known by its token: a slot handed back is claimed anew), guard
 * in, the work, guard out. */
inline export(work) {
    atomic {
        if
        :: slot != NONE && slotOwner[slot] == me -> skip
        :: else ->
            if
            :: slotOwner[0] == 0 -> slotOwner[0] = me; slot = 0
            :: slotOwner[1] == 0 -> slotOwner[1] = me; slot = 1
            :: slotOwner[2] == 0 -> slotOwner[2] = me; slot = 2
            fi
        fi;
        slotUsers[slot]++;
        assert(slotUsers[slot] == 1);
        e = epoch
    }
    /* Enter: pin the epoch read before, then check that we are attached. */
    slotEpoch[slot] = e;
    if
    :: !attached -> slotEpoch[slot] = 0
    :: else ->
        if
        :: work == SEND ->
            /* Look up handle 0 in the published list (noting which changes had completed),
             * then use the record: the provider's entry runs. */
            atomic {
                began = published;
                list = current;
                assert(!listFreed[list] && !recordFreed[list]);
                assert(unlistedBy[list] == 0 || unlistedBy[list] > began)
            }
            atomic {
                assert(!recordFreed[list] && !lockClosed);
                began = 0;
                list = 0
            }
        :: else -> reload()
        fi;
        /* Leave: unpin; a guard that may have kept a retired list alive is present again,
         * pinning nothing, and asks for the freeing. */
        atomic { e = slotEpoch[slot]; slotEpoch[slot] = 0 }
        if
        :: oldest != 0 && e <= oldest ->
            slotEpoch[slot] = PRESENT;
            if
            :: attached ->
                assert(!lockClosed);
                wanted = true;
                freeWanted()
            :: else -> skip
            fi;
            slotEpoch[slot] = 0
        :: else -> skip
        fi
    fi;
    atomic { slotUsers[slot]--; e = 0 }
}

proctype ExitingSender() {
    byte me = 1, slot = NONE, e, began, list, k, change, replaced;
    bool blocked;
    export(SEND);
    slotOwner[slot] = 0;       /* the thread ends: its slot goes back */
    export(SEND)               /* ... and it calls once more from a later thread-exit hook */
}

proctype NewSender() {
    byte me = 2, slot = NONE, e, began, list, k, change, replaced;
    bool blocked;
    export(SEND)
}

proctype Reloader() {
    byte me = 3, slot = NONE, e, began, list, k, change = 1, replaced;
    bool blocked;
    do
    :: change <= RELOADS -> export(RELOAD)
    :: else -> break
    od
}

/* The module's detach, or none: refuse new guards, then free everything unless somebody is
 * inside. */
proctype Detach() {
    byte k;
    bool inside = false;
    if
    :: !DETACH -> skip /* the module stays attached */
    :: DETACH ->
        attached = false;
        do
        :: k < SLOTS -> atomic { inside = inside || slotEpoch[k] != 0; k++ }
        :: else -> break
        od;
        if
        :: inside -> detachLeft = true /* everything stays for the exiting process */
        :: else ->
            atomic { lockOwner == 0 -> lockOwner = 4 }
            atomic {
                k = 0;
                do
                :: k < LISTS -> listFreed[k] = true; recordFreed[k] = true; k++
                :: else -> break
                od;
                retiredCount = 0;
                lockOwner = 0;
                lockClosed = true
            }
        fi
    fi
}

init {
    atomic {
        run ExitingSender();
        run NewSender();
        run Reloader();
        run Detach()
    }
    /* Once every thread has left, nothing retired waits to be freed. */
    (_nr_pr == 1);
    assert(retiredCount == 0 || detachLeft)
}
