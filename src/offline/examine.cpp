#include "offline/examine.h"

#include <errno.h>
#include <sys/mman.h>
#include <unistd.h>

#include "detect/image_rules.h"
#include "offline/posix_file.h"
#include "remedy/host_locate.h"

namespace {

struct RatingWork {
    const Mapping *head;
    uint64_t size;
    const uint8_t *pe_signature;
    ScanVerdict verdict;
};

void rate_work(void *arg)
{
    RatingWork *w = static_cast<RatingWork *>(arg);
    w->verdict = rate_file(w->head->data(), static_cast<uint32_t>(w->head->size()), w->size, w->pe_signature);
}

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

bool rate_open_file(int fd, uint64_t size, ScanVerdict *verdict, std::string *error)
{
    if (size < WORM_MIN_SIZE) {
        *verdict = rate_file(nullptr, 0, size, nullptr);
        return true;
    }
    Mapping head, pe_page;
    if (!head.map(fd, 0, RULES_HEAD_SPAN, false)) {
        *error = failure("cannot map", errno);
        return false;
    }
    // The PE signature may lie anywhere below size - 248: its own few bytes
    // are mapped when they are past the head.
    uint32_t offset = 0;
    const uint8_t *pe_signature = nullptr;
    if (pe_signature_offset(head.data(), RULES_HEAD_SPAN, size, &offset) && offset > RULES_HEAD_SPAN - 4) {
        if (!pe_page.map(fd, offset, 4, false)) {
            *error = failure("cannot map", errno);
            return false;
        }
        pe_signature = pe_page.data();
    }
    RatingWork work = {&head, size, pe_signature, Clean};
    if (!run_mapped_work(rate_work, &work)) {
        *error = "file shrank while being read";
        return false;
    }
    *verdict = work.verdict;
    return true;
}

bool restore_open_file(int fd, uint64_t size, uint64_t *new_size, std::string *error)
{
    Mapping view;
    if (size > UINT32_MAX) {
        *error = "file of 4 GiB or more";
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
