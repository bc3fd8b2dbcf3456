/* The module's string table, shared by the Windows resource script and the POSIX backend.
 * Plain C preprocessor only: windres reads this file too. */
#ifndef KOV_RESOURCES_STRINGS_H
#define KOV_RESOURCES_STRINGS_H

#define KOV_IDS_COPYRIGHT 1
#define KOV_IDS_MAKER 2
#define KOV_IDS_PRODUCT 3
#define KOV_IDS_LANGUAGE 4

#define KOV_STR_COPYRIGHT "Copyright (c) 2026 KOV Broker team."
#define KOV_STR_MAKER "KOV Broker open-source project"
#define KOV_STR_PRODUCT "KOV Broker message broker 1.0"
#define KOV_STR_LANGUAGE "en|US"

#endif
