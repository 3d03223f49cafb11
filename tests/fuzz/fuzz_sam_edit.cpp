// Any bytes as the account values the Guest repair edits: as Administrators'
// value C (members out, count and length follow, every other member and byte
// where it was), as an alias id list (with a count from the first byte), as
// F (one bit set) and as V (the domain SID at its end). The Guest SID is that
// of the seed's machine, so that mutations of the seed hold it.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "offline/sam_edit.h"

namespace {

const std::string DOMAIN("\x01\x04\0\0\0\0\0\x05\x15\0\0\0\x9b\x7d\xee\x68\xf4\xd1\xe6\x5e\xe5\xbd\xa3\x09", 24);

uint32_t u32(const std::string &bytes, size_t offset)
{
    uint32_t value = 0;
    memcpy(&value, bytes.data() + offset, 4);
    return value;
}

void check_alias(const std::string &c, const std::string &guest)
{
    bool member = false;
    std::string edited = c;
    if (!alias_has_member(c, guest, &member)) {
        if (remove_alias_member(&edited, guest) || edited != c)
            abort();
        return;
    }
    // The members as SIDs, in order, and where the list ends.
    const size_t begin = 0x34 + u32(c, 0x28), end = begin + u32(c, 0x2C);
    std::vector<std::string> others;
    size_t at = begin, removed = 0;
    for (uint32_t i = 0; i < u32(c, 0x30); ++i) {
        const std::string sid = c.substr(at, 8 + 4 * static_cast<unsigned char>(c[at + 1]));
        if (sid == guest)
            removed += sid.size();
        else
            others.push_back(sid);
        at += sid.size();
    }
    if (!remove_alias_member(&edited, guest) || member != (removed != 0))
        abort();
    bool still = true;
    if (!alias_has_member(edited, guest, &still) || still || u32(edited, 0x30) != others.size() ||
        u32(edited, 0x2C) != u32(c, 0x2C) - removed || edited.compare(0, 0x2C, c, 0, 0x2C) != 0 ||
        edited.compare(0x34, begin - 0x34, c, 0x34, begin - 0x34) != 0)
        abort();
    const size_t tail = at;  // the list's bytes after its last member stay behind the others
    at = begin;
    for (const std::string &sid : others) {
        if (edited.compare(at, sid.size(), sid) != 0)
            abort();
        at += sid.size();
    }
    // After the list: cut away with it when it ended the value, else kept in place behind zeros.
    const bool last = end == c.size();
    if (edited.size() != c.size() - (last ? removed : 0) ||
        edited.compare(at, end - tail, c, tail, end - tail) != 0 ||
        (!last && (edited.compare(end - removed, removed, std::string(removed, '\0')) != 0 ||
                   edited.compare(end, std::string::npos, c, end, std::string::npos) != 0)))
        abort();
}

void check_ids(const std::string &ids, uint32_t count)
{
    bool held = false;
    std::string edited = ids;
    uint32_t left = count;
    if (!alias_ids_hold(ids, count, ADMINISTRATORS_RID, &held)) {
        if (remove_alias_id(&edited, &left, ADMINISTRATORS_RID) || edited != ids || left != count)
            abort();
        return;
    }
    std::string kept;
    for (uint32_t i = 0; i < count; ++i)
        if (u32(ids, 4 * i) != ADMINISTRATORS_RID)
            kept += ids.substr(4 * i, 4);
    kept += ids.substr(4 * size_t(count));
    bool again = true;
    if (!remove_alias_id(&edited, &left, ADMINISTRATORS_RID) || edited != kept ||
        held != (left != count) || left != count - (ids.size() - kept.size()) / 4 ||
        !alias_ids_hold(edited, left, ADMINISTRATORS_RID, &again) || again)
        abort();
}

void check_flags(const std::string &f)
{
    bool disabled = false;
    std::string edited = f;
    const bool readable = account_disabled(f, &disabled);
    if (readable != disable_account(&edited) || (readable && !account_disabled(edited, &disabled)) ||
        (readable && !disabled) || edited.size() != f.size())
        abort();
    for (size_t i = 0; i < f.size(); ++i)
        if (edited[i] != f[i] && !(i == 0x38 && (edited[i] ^ f[i]) == 1))
            abort();
}

void check_domain(const std::string &v)
{
    std::string sid;
    if (!domain_sid(v, &sid))
        return;
    if (sid != v.substr(v.size() - 24) || sid_text(sid).compare(0, 9, "S-1-5-21-") != 0 ||
        account_sid(sid, GUEST_RID).size() != 28)
        abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::string input(reinterpret_cast<const char *>(data), size);
    check_alias(input, account_sid(DOMAIN, GUEST_RID));
    check_ids(input.substr(std::min<size_t>(size, 1)), size > 0 ? data[0] % 8 : 0);
    check_flags(input);
    check_domain(input);
    return 0;
}
