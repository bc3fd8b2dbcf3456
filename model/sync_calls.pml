/*
 * A synchronous call's wait entry, small enough for spin to check every interleaving: a thread
 * makes calls one after another through its own entry, and a provider answers them on a thread of
 * its own: at once, after a null, and after the call has ended (a confirm after a refusal, after
 * a cancelled wait, after a null: rules broken on purpose). docs/internals.md maps each step to
 * the code (dispatch/send_sync.cpp).
 *
 * An entry's word is its generation and its state, changed only by compare-and-swap (one atomic
 * step here). A call's token is its entry and generation; an answer is taken only by the swap
 * from Waiting (or Sleeping) with the token it carries. Generations are few here (GENS), so that
 * a token comes round again within the calls below, as it does after 4,194,304 calls of one entry
 * in the code; an entry keeps the generations of its last LATE calls that ended without a confirm
 * out of use (8 in the code), and the model lets at most LATE calls end so.
 *
 * Checked: a call takes no confirm but its own (or a null meant for it), however many calls come
 * between; the thread's event is never set once the thread has closed it (as it ends); every call
 * ends (no invalid end state).
 *
 * BEFORE_QUARANTINE=1 is the entry as it was, whose generations came round whatever became of
 * them: spin finds a late confirm taken by a later call there.
 */
#ifndef BEFORE_QUARANTINE
#define BEFORE_QUARANTINE 0
#endif
#define GENS 3         /* generations per entry */
#define CALLS 4
#define LATE 2         /* generations kept out of use */

#define FREE 0
#define WAITING 1
#define ANSWERING 2
#define ANSWERED 3
#define SLEEPING 6

#define NOBODY 255     /* no call: a null confirm */

byte gen = 0;          /* the entry's word: generation and state */
byte state = FREE;
byte confirm = NOBODY; /* the call whose confirm was taken; NOBODY for a null */
byte late[LATE];       /* generation + 1 of a call that ended with no confirm; 0: none */
byte lateNext = 0;
byte endedEmpty = 0;   /* calls that ended with no confirm of their own */

bool eventOpen = true;
bool eventSet = false;

/* What the provider still has to deliver for call c, with the call's token: a null first, then
 * the confirm. */
bool owesNull[CALLS];
bool owes[CALLS];
byte tokenOf[CALLS];

/* A delivery with token t: taken only from Waiting or Sleeping with that token; the winner
 * writes the answer, wakes a sleeping caller, and only then marks it answered. */
inline deliver(c, t, isNull) {
    atomic {
        if
        :: gen == t && (state == WAITING || state == SLEEPING) ->
            wake = state == SLEEPING;
            state = ANSWERING;
            taken = true
        :: else -> taken = false
        fi
    }
    if
    :: taken ->
        confirm = (isNull -> NOBODY : c);
        if
        :: wake -> assert(eventOpen); eventSet = true
        :: else -> skip
        fi;
        state = ANSWERED
    :: else -> skip /* nobody waits for it: the provider keeps it */
    fi
}

proctype Provider() {
    byte c;
    bool wake, taken;
end:
    do
    :: atomic { owesNull[0] -> c = 0 }; deliver(c, tokenOf[c], true); owesNull[c] = false
    :: atomic { owesNull[1] -> c = 1 }; deliver(c, tokenOf[c], true); owesNull[c] = false
    :: atomic { owesNull[2] -> c = 2 }; deliver(c, tokenOf[c], true); owesNull[c] = false
    :: atomic { owesNull[3] -> c = 3 }; deliver(c, tokenOf[c], true); owesNull[c] = false
    :: atomic { owes[0] && !owesNull[0] -> c = 0 }; deliver(c, tokenOf[c], false); owes[c] = false
    :: atomic { owes[1] && !owesNull[1] -> c = 1 }; deliver(c, tokenOf[c], false); owes[c] = false
    :: atomic { owes[2] && !owesNull[2] -> c = 2 }; deliver(c, tokenOf[c], false); owes[c] = false
    :: atomic { owes[3] && !owesNull[3] -> c = 3 }; deliver(c, tokenOf[c], false); owes[c] = false
    od
}

/* Whether generation g is kept out of use. */
inline isLate(g, result) {
    result = !BEFORE_QUARANTINE && (late[0] == g + 1 || late[1] == g + 1)
}

/* The call ends with no confirm of its own: its generation is kept out of use. */
inline keepOut(g) {
    endedEmpty++;
    if
    :: !BEFORE_QUARANTINE -> late[lateNext] = g + 1; lateNext = (lateNext + 1) % LATE
    :: else -> skip
    fi
}

proctype Caller() {
    byte call = 0, next, mine, got;
    bool isOut, refused, cancelled;
    do
    :: call < CALLS ->
        /* The entry's next generation that is not kept out of use, then Waiting (the thread's
         * own entry: a plain store, nobody else takes it). */
        next = (gen + 1) % GENS;
        isLate(next, isOut);
        do
        :: isOut -> next = (next + 1) % GENS; isLate(next, isOut)
        :: else -> break
        od;
        atomic { gen = next; state = WAITING }
        mine = gen;
        tokenOf[call] = mine;
        refused = false;
        cancelled = false;
        /* The provider takes the call and confirms it; or answers it with a null, then confirms
         * it all the same; or refuses it, and confirms it all the same. */
        if
        :: owes[call] = true
        :: endedEmpty < LATE -> atomic { owesNull[call] = true; owes[call] = true }
        :: endedEmpty < LATE -> owes[call] = true; refused = true
        fi;
        do
        :: state == ANSWERED ->
            got = confirm;
            state = FREE;
            /* Its own confirm; a null meant for it; or, refused, a confirm that came anyway
             * before the refusal (handed back). */
            assert(got == call || got == NOBODY);
            if
            :: got == NOBODY || refused -> keepOut(mine)
            :: else -> skip
            fi;
            break
        :: refused || cancelled ->
            /* The call ends with no answer: from Waiting only (an answer on its way is waited
             * out). */
            atomic {
                if
                :: state == WAITING || state == SLEEPING -> state = FREE
                :: else -> skip
                fi
            }
            if
            :: state == FREE -> keepOut(mine); break
            :: else -> skip
            fi
        :: atomic { !refused && state == WAITING -> eventSet = false; state = SLEEPING }
        :: atomic { !refused && state == SLEEPING && eventSet -> skip }
        :: !refused && !cancelled && endedEmpty < LATE && state != ANSWERED ->
            cancelled = true /* the waiting thread is cancelled */
        od;
        call++
    :: else -> break
    od;
    /* The thread ends: its event is closed. */
    eventOpen = false
}

init {
    atomic {
        run Caller();
        run Provider()
    }
}
