#include "offline/sam_edit.h"

#include <vector>

namespace {

const size_t DOMAIN_SID_SIZE = 24;  // revision, count 4, authority, four sub-authorities
const size_t C_LIST_OFFSET = 0x28, C_LIST_LENGTH = 0x2C, C_MEMBER_COUNT = 0x30, C_DATA = 0x34;
const size_t F_ACCOUNT_BITS = 0x38;
const uint16_t ACCOUNT_DISABLED = 0x0001;

bool read_u32(std::string_view bytes, size_t offset, uint32_t *value)
{
    if (offset > bytes.size() || 4 > bytes.size() - offset)
        return false;
    const auto *p = reinterpret_cast<const unsigned char *>(bytes.data() + offset);
    *value = static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
             static_cast<uint32_t>(p[3]) << 24;
    return true;
}

void write_u32(std::string *bytes, size_t offset, uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        (*bytes)[offset + i] = static_cast<char>(value >> (8 * i) & 0xFF);
}

// The SID that starts at offset, within end: 8 bytes and 4 per sub-authority.
size_t sid_size_at(std::string_view bytes, size_t offset, size_t end)
{
    if (offset > end || 8 > end - offset)
        return 0;
    const size_t size = 8 + 4 * static_cast<size_t>(static_cast<unsigned char>(bytes[offset + 1]));
    return size <= end - offset ? size : 0;
}

// Where the member list of C lies and the SIDs in it (their offsets and sizes).
struct MemberList {
    size_t begin = 0, length = 0;
    std::vector<std::pair<size_t, size_t>> sids;
};

bool member_list(std::string_view c, MemberList *list)
{
    uint32_t offset = 0, length = 0, count = 0;
    if (!read_u32(c, C_LIST_OFFSET, &offset) || !read_u32(c, C_LIST_LENGTH, &length) ||
        !read_u32(c, C_MEMBER_COUNT, &count) || C_DATA > c.size())
        return false;
    const uint64_t begin = C_DATA + static_cast<uint64_t>(offset);
    if (begin > c.size() || length > c.size() - begin)
        return false;
    list->begin = static_cast<size_t>(begin);
    list->length = length;
    const size_t end = list->begin + list->length;
    size_t at = list->begin;
    for (uint32_t i = 0; i < count; ++i) {
        const size_t size = sid_size_at(c, at, end);
        if (size == 0)
            return false;
        list->sids.emplace_back(at, size);
        at += size;
    }
    return true;
}

}  // namespace

bool domain_sid(std::string_view v, std::string *sid)
{
    if (v.size() < DOMAIN_SID_SIZE)
        return false;
    const std::string_view last = v.substr(v.size() - DOMAIN_SID_SIZE);
    uint32_t first = 0;
    read_u32(last, 8, &first);
    // Revision 1, four sub-authorities, NT authority (5), the first one 21.
    if (last.substr(0, 8) != std::string_view("\x01\x04\0\0\0\0\0\x05", 8) || first != 21)
        return false;
    sid->assign(last);
    return true;
}

std::string sid_text(std::string_view sid)
{
    uint64_t authority = 0;
    for (size_t i = 2; i < 8; ++i)
        authority = authority << 8 | static_cast<unsigned char>(sid[i]);
    std::string text = "S-" + std::to_string(static_cast<unsigned char>(sid[0])) + "-" + std::to_string(authority);
    for (size_t i = 8; i + 4 <= sid.size(); i += 4) {
        uint32_t part = 0;
        read_u32(sid, i, &part);
        text += "-" + std::to_string(part);
    }
    return text;
}

std::string account_sid(std::string_view domain, uint32_t rid)
{
    std::string sid(domain);
    sid[1] = static_cast<char>(sid[1] + 1);
    sid.append(4, '\0');
    write_u32(&sid, sid.size() - 4, rid);
    return sid;
}

bool alias_has_member(std::string_view c, std::string_view sid, bool *member)
{
    MemberList list;
    if (!member_list(c, &list))
        return false;
    *member = false;
    for (const auto &[at, size] : list.sids)
        *member = *member || c.substr(at, size) == sid;
    return true;
}

bool remove_alias_member(std::string *c, std::string_view sid)
{
    MemberList list;
    if (!member_list(*c, &list))
        return false;
    const size_t end = list.begin + list.length;
    const bool last_in_value = end == c->size();
    uint32_t count = static_cast<uint32_t>(list.sids.size());
    size_t removed = 0;
    // From the last SID back, so that the offsets of those still to look at hold.
    for (auto i = list.sids.rbegin(); i != list.sids.rend(); ++i) {
        if (std::string_view(*c).substr(i->first, i->second) != sid)
            continue;
        c->erase(i->first, i->second);
        removed += i->second;
        --count;
    }
    if (removed == 0)
        return true;
    if (!last_in_value)
        c->insert(end - removed, removed, '\0');
    write_u32(c, C_LIST_LENGTH, static_cast<uint32_t>(list.length - removed));
    write_u32(c, C_MEMBER_COUNT, count);
    return true;
}

bool account_disabled(std::string_view f, bool *disabled)
{
    if (f.size() < F_ACCOUNT_BITS + 2)
        return false;
    *disabled = (static_cast<unsigned char>(f[F_ACCOUNT_BITS]) & ACCOUNT_DISABLED) != 0;
    return true;
}

bool disable_account(std::string *f)
{
    if (f->size() < F_ACCOUNT_BITS + 2)
        return false;
    (*f)[F_ACCOUNT_BITS] = static_cast<char>((*f)[F_ACCOUNT_BITS] | ACCOUNT_DISABLED);
    return true;
}

bool alias_ids_hold(std::string_view ids, uint32_t count, uint32_t alias, bool *held)
{
    if (count > ids.size() / 4)
        return false;
    *held = false;
    for (uint32_t i = 0; i < count; ++i) {
        uint32_t id = 0;
        read_u32(ids, 4 * static_cast<size_t>(i), &id);
        *held = *held || id == alias;
    }
    return true;
}

bool remove_alias_id(std::string *ids, uint32_t *count, uint32_t alias)
{
    if (*count > ids->size() / 4)
        return false;
    for (uint32_t i = *count; i-- > 0;) {
        uint32_t id = 0;
        read_u32(*ids, 4 * static_cast<size_t>(i), &id);
        if (id == alias) {
            ids->erase(4 * static_cast<size_t>(i), 4);
            --*count;
        }
    }
    return true;
}
