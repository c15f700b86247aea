// Helpers that every folder shares: the one allocation point, what happens
// when memory runs out, the null-safe "%s", and a table of names. They know
// nothing of XML or of studies; they live beside the XML reader because it is
// the lowest layer.
#ifndef KPM_XML_COMMON_H
#define KPM_XML_COMMON_H

#include <cstddef>

// Under AddressSanitizer every record and string is a heap block of its own,
// instead of a piece of a larger block, so that the sanitizer sees each one's bounds.
#if defined(__SANITIZE_ADDRESS__)
#define KPM_PLAIN_HEAP 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KPM_PLAIN_HEAP 1
#endif
#endif

// Every heap block of the program is taken here (zero-filled, like calloc),
// so that tests can make a chosen allocation fail. Returns null on failure.
void *kpm_calloc(size_t count, size_t size);
// Allocators with blocks of their own ask this first: non-zero when the
// current allocation is to fail (only ever in the allocation-failure test build).
int kpm_alloc_fails(void);

// Large blocks for the reader's records and the study model: KPM_BLOCK_SIZE
// bytes aligned to KPM_BLOCK_SIZE. A block
// given back is kept for the next taker rather than returned to the system,
// so the model of a large study grows into the memory its XML tree leaves,
// already paged in. A block comes with whatever it last held.
const size_t KPM_BLOCK_SIZE = (size_t)2 << 20;
void *kpm_take_block(void); // null when memory is exhausted
void kpm_give_block(void *block);

// Text for a possibly-null string given to "%s": "(null)" for null.
// Always use it: a compiler may turn printf("%s\n", p) into puts(p), which
// does not survive a null pointer.
const char *str_or_null(const char *s);

// Memory exhausted: every place of the library where an allocation fails
// ends here. Without a hook (kpm's own run) the place's own line is printed
// on standard error and the process ends with status 1, as kpm always has.
// A companion program sets the hook at its start: the hook prints the
// program's one message and ends the process with the program's status.
typedef void (*KpmOutOfMemoryHook)(void);
extern KpmOutOfMemoryHook kpm_out_of_memory_hook;
// line: the place's whole line (" *** ERROR: Out of memory in alloc_Load()\n").
[[noreturn]] void kpm_out_of_memory(const char *line);

#endif
