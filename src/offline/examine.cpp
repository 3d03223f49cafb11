#include "offline/examine.h"

#include <errno.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>

#include "detect/image_rules.h"
#include "offline/posix_file.h"
#include "remedy/host_locate.h"

namespace {

struct RestoreWork {
    uint8_t *view;
    uint32_t size;
    uint32_t new_size;
    int result;
};

void restore_work(void *arg)
{
    RestoreWork *w = static_cast<RestoreWork *>(arg);
    w->result = restore_infected_view(w->view, w->size, &w->new_size);
}

}  // namespace

bool read_head_to(int fd, uint64_t size, size_t want, FileHead *head, std::string *error)
{
    want = static_cast<size_t>(std::min<uint64_t>(size, want));
    if (head->length >= want)
        return true;
    if (head->buffer.size() < want)
        head->buffer.resize(std::max<size_t>(want, RULES_HEAD_SPAN));
    // The file may be cut by someone else at any moment after its size was
    // taken: a read that comes back short says so.
    if (!pread_exactly(fd, head->buffer.data() + head->length, want - head->length, head->length)) {
        *error = errno == 0 ? "file shrank while being read" : failure("cannot read");
        return false;
    }
    head->length = want;
    return true;
}

int read_first_page_cached(int fd, uint64_t size, FileHead *head)
{
    const size_t want = static_cast<size_t>(std::min<uint64_t>(size, FILE_HEAD_FIRST));
    if (head->buffer.size() < want)
        head->buffer.resize(std::max<size_t>(want, RULES_HEAD_SPAN));
    const int cached = pread_cached(fd, head->buffer.data(), want, 0);
    head->length = cached == 1 ? want : 0;
    return cached;
}

bool rate_open_file(int fd, uint64_t size, FileHead *head, ScanVerdict *verdict, std::string *error)
{
    if (size < WORM_MIN_SIZE) {
        head->length = 0;
        *verdict = rate_file(nullptr, 0, size, nullptr);
        return true;
    }
    // The first page tells how many bytes the rules look at: all of their
    // head for what may be a program, the checksum span for anything else.
    if (!read_head_to(fd, size, FILE_HEAD_FIRST, head, error) ||
        !read_head_to(fd, size, rules_head_span(head->buffer.data(), static_cast<uint32_t>(head->length), size), head,
                      error))
        return false;
    const uint8_t *bytes = head->buffer.data();
    const uint32_t head_size = static_cast<uint32_t>(head->length);
    // The PE signature may lie anywhere below size - 248: past the head, its
    // own four bytes are read from the file.
    uint32_t offset = 0;
    uint8_t signature[4];
    const uint8_t *pe_signature = nullptr;
    if (pe_signature_offset(bytes, head_size, size, &offset) && offset > head_size - 4) {
        if (!pread_exactly(fd, signature, sizeof signature, offset)) {
            *error = errno == 0 ? "file shrank while being read" : failure("cannot read");
            return false;
        }
        pe_signature = signature;
    }
    *verdict = rate_file(bytes, head_size, size, pe_signature);
    return true;
}

bool rate_open_file(int fd, uint64_t size, ScanVerdict *verdict, std::string *error)
{
    static FileHead head;
    head.length = 0;
    return rate_open_file(fd, size, &head, verdict, error);
}

bool restore_open_file(int fd, uint64_t size, uint64_t *new_size, std::string *error)
{
    Mapping view;
    if (size > UINT32_MAX) {
        *error = "file of 4 GiB or more";
        return false;
    }
    // A write into a hole of a sparse file (or on a copy-on-write or full
    // volume) needs a new block; through the mapping, one that cannot be had
    // breaks the move off half-way, leaving neither worm nor host. So every
    // block the move and the zeroed tail write is had before anything moves.
    if (!allocate_blocks(fd, size)) {
        *error = allocation_failure();
        return false;
    }
    if (!view.map(fd, 0, static_cast<size_t>(size), true)) {
        *error = failure("cannot map for writing", errno);
        return false;
    }
    RestoreWork work = {view.data(), static_cast<uint32_t>(size), 0, HOST_ABSENT};
    if (!run_mapped_work(restore_work, &work)) {
        *error = "file shrank during the restoration";
        return false;
    }
    if (work.result != HOST_FOUND) {
        *error = "no host program found behind the worm";
        return false;
    }
    // The moved host must be on the disk before the file is cut to its length.
    if (msync(view.data(), view.size(), MS_SYNC) != 0) {
        *error = failure("cannot write the host back", errno);
        return false;
    }
    if (!view.unmap()) {
        *error = failure("cannot unmap", errno);
        return false;
    }
    if (ftruncate(fd, static_cast<off_t>(work.new_size)) != 0) {
        *error = failure("cannot cut the file to the host's length", errno);
        return false;
    }
    *new_size = work.new_size;
    return true;
}
