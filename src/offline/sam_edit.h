// The account database's values that say whether the Guest account is an
// administrator and whether it is enabled, and the byte edits that close it.
// Plain bytes in and out: no registry access here, so any bytes may come in.
#ifndef VESKACURE_OFFLINE_SAM_EDIT_H
#define VESKACURE_OFFLINE_SAM_EDIT_H

#include <stdint.h>

#include <string>
#include <string_view>

enum : uint32_t {
    GUEST_RID = 0x1F5,           // the built-in Guest account, in every language
    ADMINISTRATORS_RID = 0x220,  // the built-in alias Administrators
};

// The machine's domain SID, S-1-5-21-a-b-c: the last 24 bytes of the value V
// of SAM\Domains\Account. False when they are no SID of that form.
bool domain_sid(std::string_view v, std::string *sid);

// A binary SID as Windows writes it in text: "S-1-5-21-a-b-c". sid must be a
// whole SID (as domain_sid answers it).
std::string sid_text(std::string_view sid);

// The SID of an account of the domain: the domain SID with one more sub-authority.
std::string account_sid(std::string_view domain, uint32_t rid);

// An alias's value C holds its members: the 32-bit fields at 0x28 (where the
// list starts, counted from 0x34), 0x2C (its length in bytes) and 0x30 (the
// member count); the members are SIDs back to back. False when these fields
// do not describe a list that lies within the value.
bool alias_has_member(std::string_view c, std::string_view sid, bool *member);

// Takes every copy of sid out of the list of c; the count and the length
// follow, every other byte stays. When bytes follow the list in the value,
// they keep their offsets: zeros take the place of the removed SIDs at the
// end of the list. False (and c untouched) when the list is malformed.
bool remove_alias_member(std::string *c, std::string_view sid);

// The account bits of a user's value F: 16 bits at 0x38, where 0x0001 means
// disabled. False when F is too short.
bool account_disabled(std::string_view f, bool *disabled);

// Sets the disabled bit; every other bit and byte stays.
bool disable_account(std::string *f);

// The aliases an account belongs to, under Aliases\Members\<domain>\<rid>: the
// default value holds count 32-bit alias ids (its type field holds count).
// Takes every copy of alias out of the list; bytes after the ids stay after
// the remaining ones. False (and nothing changed) when the value holds fewer
// than count ids.
bool alias_ids_hold(std::string_view ids, uint32_t count, uint32_t alias, bool *held);
bool remove_alias_id(std::string *ids, uint32_t *count, uint32_t alias);

#endif
