/*
 * A trace ring (observe/published_region.cpp, endTrace; observe/region_reader.cpp,
 * takeTraceRecords), small enough for spin to check every interleaving: one traced thread writes
 * records into its ring, one `kovctl trace` in another process takes them. The writer moves
 * `written` after the record is whole; the reader moves `taken` after it has read what it takes;
 * a writer that finds the ring full counts the record in `dropped` instead.
 *
 * A record is two words written one after the other, both the record's number: a reader that
 * sees them differ read a record being written.
 *
 * Checked: the reader never reads a record half-written or overwritten, takes records in order
 * and each once, and every record is either taken, still in the ring, or counted as dropped.
 *
 * PUBLISH_FIRST=1 moves `written` before the record is written; RELEASE_FIRST=1 moves `taken`
 * before the record is read: spin must find the torn record in both.
 */
#ifndef PUBLISH_FIRST
#define PUBLISH_FIRST 0
#endif
#ifndef RELEASE_FIRST
#define RELEASE_FIRST 0
#endif
#define SLOTS 2
#define RECORDS 5

byte first[SLOTS];
byte second[SLOTS];
byte written = 0;
byte taken = 0;
byte dropped = 0;
byte takenCount = 0;
bool writerDone = false;

active proctype writer() {
    byte n = 1;
    do
    :: n <= RECORDS ->
        if
        :: written - taken >= SLOTS -> dropped++
        :: else ->
            if
            :: PUBLISH_FIRST ->
                written++;
                first[(written - 1) % SLOTS] = n;
                second[(written - 1) % SLOTS] = n
            :: else ->
                first[written % SLOTS] = n;
                second[written % SLOTS] = n;
                written++
            fi
        fi;
        n++
    :: else -> break
    od;
    writerDone = true
}

active proctype reader() {
    byte a, b, last = 0, at;
    do
    :: taken != written ->
        at = taken % SLOTS;
        if
        :: RELEASE_FIRST -> taken++
        :: else -> skip
        fi;
        a = first[at];
        b = second[at];
        assert(a == b && a > last);
        last = a;
        takenCount++;
        if
        :: RELEASE_FIRST -> skip
        :: else -> taken++
        fi
    :: writerDone && taken == written -> break
    od;
    /* Every record accounted for: taken or dropped. */
    assert(takenCount + dropped == RECORDS)
}
