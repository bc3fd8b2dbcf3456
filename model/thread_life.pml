/*
 * A thread's whole life in the broker, small enough for spin to check every interleaving: its
 * first call (claiming a slot and arming the thread key), its end (the key's hand-back, in
 * rounds of key destructors as glibc runs them, with a later library's destructor calling in
 * each round), and the module's detach at any moment. docs/internals.md maps each step to the
 * code.
 *
 * Threads: Ender calls once (its call gives its slot a wait event), ends, and calls again from a
 * key destructor that runs after the broker's own in every round, asking for another round up
 * to the last. Starter makes its first call at any moment, the detach included. Detach refuses
 * new guards, then frees everything unless somebody is inside.
 *
 * Checked: a slot's wait event is closed once (never by the hand-back and the detach both); the
 * thread key is never used after the detach deleted it; no two threads use one slot; a slot the
 * detach freed is not used; and once every thread has ended, every slot is free with its event
 * closed, whatever round the last call came in (unless the detach found a thread inside and left
 * everything for the exiting process).
 *
 * Earlier forms of the protocol, to see spin find what each change mends (scripts/model.sh checks
 * that it does): BEFORE_HANDBACK, the hand-back outside any guard; BEFORE_LATE, a call after the
 * hand-back arming the key again; BEFORE_CLAIM, a first call reading and setting the key outside
 * any guard.
 */
#ifndef BEFORE_HANDBACK
#define BEFORE_HANDBACK 0
#endif
#ifndef BEFORE_LATE
#define BEFORE_LATE 0
#endif
#ifndef BEFORE_CLAIM
#define BEFORE_CLAIM 0
#endif
#ifndef DETACH
#define DETACH 1
#endif
#ifndef DIES
#define DIES 1     /* the thread may end inside its first call (Windows) */
#endif
#define ROUNDS 4      /* PTHREAD_DESTRUCTOR_ITERATIONS */
#define SLOTS 2
#define NONE 255
#define PRESENT 255   /* a slot's epoch while its thread is present but pins nothing */

bool attached = true;
bool slotsRunning = true;  /* what the hand-back and a claim looked at before */
bool keyAlive = true;      /* the thread key: deleted by the detach */
bool detachFreed = false;  /* the detach found nobody inside and freed everything */
bool detachLeft = false;   /* the detach found a thread inside and left everything */

byte slotOwner[SLOTS];     /* a thread's token; 0 while free */
byte slotEpoch[SLOTS];     /* 0 outside every guard */
byte slotUsers[SLOTS];
bool slotEvent[SLOTS];     /* the slot holds an open wait event */
bool eventOpen[SLOTS];     /* the event itself is still open */
bool transient[SLOTS];     /* claimed by a thread whose slot went back: returned as it leaves */

/* Closes a slot's event if it holds one; the check and the close are separate steps, as in the
 * code: two closers at once would both see it open. */
inline closeWaitEvent(s) {
    if
    :: slotEvent[s] ->
        assert(eventOpen[s]); /* closed once */
        eventOpen[s] = false;
        slotEvent[s] = false
    :: else -> skip
    fi
}

/* The thread's slot for a call: its own while the owner word holds its token, else a free one
 * claimed anew (and, for a thread whose slot went back, given back as it leaves). */
inline claim() {
    if
    :: slot != NONE && slotOwner[slot] == me -> skip
    :: else ->
        if
        :: BEFORE_CLAIM && !slotsRunning -> slot = NONE
        :: else ->
            atomic {
                if
                :: slotOwner[0] == 0 -> slotOwner[0] = me; slot = 0
                :: slotOwner[1] == 0 -> slotOwner[1] = me; slot = 1
                fi
            }
            if
            :: BEFORE_CLAIM ->
                /* The key is read, then set, outside any guard: the detach may delete it in
                 * between. */
                if
                :: keyAlive -> assert(keyAlive); keyValue = slot; armed = true
                :: else -> skip
                fi
            :: else ->
                /* Present before touching the key: a detach that has begun is seen here; one
                 * that begins later sees this thread inside. */
                slotEpoch[slot] = PRESENT;
                if
                :: !attached -> slotEpoch[slot] = 0; slotOwner[slot] = 0; slot = NONE
                :: else ->
                    if
                    :: ended && !BEFORE_LATE -> transient[slot] = true
                    :: else -> assert(keyAlive); keyValue = slot; armed = true
                    fi;
                    slotEpoch[slot] = 0
                fi
            fi
        fi
    fi
}

/* An export: the slot, the guard, a synchronous call that gives the slot its wait event, the
 * guard out (and a transient slot given back). With `mayDie`, the thread may end inside the call
 * without leaving it (Windows: ExitThread in a provider's entry; no unwinding runs). */
inline export(mayDie) {
    claim();
    if
    :: slot == NONE -> skip
    :: else ->
        atomic { slotUsers[slot]++; assert(slotUsers[slot] == 1) }
        slotEpoch[slot] = 1;
        if
        :: !attached -> atomic { slotEpoch[slot] = 0; slotUsers[slot]-- }
        :: else ->
            atomic {
                assert(!detachFreed);
                if
                :: !slotEvent[slot] -> slotEvent[slot] = true; eventOpen[slot] = true
                :: else -> assert(eventOpen[slot])
                fi
            }
            if
            :: mayDie -> diedInside = true; goto left
            :: true -> skip
            fi;
            atomic { slotEpoch[slot] = 0; slotUsers[slot]-- }
            if
            :: transient[slot] ->
                /* Present while it gives the slot back, as the hand-back is. */
                slotEpoch[slot] = PRESENT;
                if
                :: attached ->
                    closeWaitEvent(slot);
                    transient[slot] = false;
                    slotEpoch[slot] = 0;
                    slotOwner[slot] = 0
                :: else -> slotEpoch[slot] = 0
                fi
            :: else -> skip
            fi
        fi
    fi;
left: skip
}

/* The thread key's hook, on the ending thread. */
inline handBack(s) {
    if
    :: BEFORE_HANDBACK ->
        if
        :: slotsRunning ->
            closeWaitEvent(s);
            slotOwner[s] = 0
        :: else -> skip
        fi
    :: else ->
        if
        :: attached && slotOwner[s] == me ->
            /* A pin left by a call the thread never left is overwritten: the thread is gone. */
            slotEpoch[s] = PRESENT;
            if
            :: attached ->
                closeWaitEvent(s);
                ended = true;
                atomic {
                    if
                    :: diedInside -> slotUsers[s]--; diedInside = false
                    :: else -> skip
                    fi;
                    slotEpoch[s] = 0
                }
                slotOwner[s] = 0
            :: else -> slotEpoch[s] = 0
            fi
        :: else -> skip
        fi
    fi
}

proctype Ender() {
    byte me = 1, slot = NONE, keyValue = NONE, round = 1, late = 0, k;
    bool ended = false, armed = false, asked, diedInside = false;
    export(DIES);
    if
    :: diedInside -> goto gone /* no later library's hook: the system ends the thread */
    :: else -> skip
    fi;
    late = 1; /* a later library's key, set once the thread has called */
    /* Key destructors in rounds: the broker's key first, the later library's after it. A round
     * follows only when a destructor set a value during this one. */
    do
    :: round <= ROUNDS ->
        asked = false;
        if
        :: keyValue != NONE && keyAlive -> k = keyValue; keyValue = NONE; handBack(k)
        :: else -> skip
        fi;
        if
        :: late != 0 ->
            late = 0;
            armed = false;
            export(false);
            asked = armed || round < ROUNDS;
            if
            :: round < ROUNDS -> late = 1
            :: else -> skip
            fi
        :: else -> skip
        fi;
        if
        :: asked || keyValue != NONE -> round++
        :: else -> break
        fi
    :: else -> break
    od;
    goto done;
gone:
    /* The thread-exit callback runs once, then the thread is gone. */
    if
    :: keyValue != NONE && keyAlive -> k = keyValue; keyValue = NONE; handBack(k)
    :: else -> skip
    fi;
done: skip
}

/* It ends after the checks: its slot may stay owned by a live thread. */
proctype Starter() {
    byte me = 2, slot = NONE, keyValue = NONE;
    bool ended = false, armed = false, diedInside = false;
    export(false)
}

proctype Detach() {
    byte k = 0;
    bool inside = false;
    if
    :: !DETACH -> skip
    :: DETACH ->
        attached = false;
        do
        :: k < SLOTS -> atomic { inside = inside || slotEpoch[k] != 0; k++ }
        :: else -> break
        od;
        if
        :: inside -> detachLeft = true
        :: else ->
            slotsRunning = false;
            keyAlive = false;
            k = 0;
            do
            :: k < SLOTS ->
                closeWaitEvent(k);
                slotOwner[k] = 0;
                k++
            :: else -> break
            od;
            detachFreed = true
        fi
    fi
}

init {
    atomic {
        run Ender();
        run Starter();
        run Detach()
    }
    /* Once the ending thread is gone and the detach is over: nothing it held is left. */
    (_nr_pr == 1);
    assert(detachLeft || !slotEvent[0] || slotOwner[0] == 2);
    assert(detachLeft || !slotEvent[1] || slotOwner[1] == 2);
    assert(detachLeft || (slotOwner[0] != 1 && slotOwner[1] != 1));
    /* No pin outlives its thread: a slot pinned by nobody would keep every retired list. */
    assert(detachLeft || slotEpoch[0] == 0 || slotOwner[0] == 2);
    assert(detachLeft || slotEpoch[1] == 0 || slotOwner[1] == 2)
}
