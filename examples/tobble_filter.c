/*
 * tobble_filter: converts standard input to standard output with one tobble
 * filter, through the library's stream. A small example of the C interface.
 *
 *   tobble_filter FILTER [--replace] < in.txt > out.txt
 *
 * The input is UTF-8. Exit status: 0 on success, 1 for invalid input or a
 * failed read or write (the converted text before invalid input is still
 * written), 2 for a mistake on the command line.
 *
 * Build against an installed library:
 *   cc tobble_filter.c $(pkg-config --cflags --libs tobble) -o tobble_filter
 */
#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <tobble.h>

/* The stream's callback: standard output, remembering why a write failed. */
static int write_output(void* context, const uint8_t* bytes, size_t n) {
  if (fwrite(bytes, 1, n, stdout) == n) return 0;
  *(int*)context = errno;
  return 1;
}

static int usage(const char* problem) {
  size_t i;
  fprintf(stderr, "tobble_filter: %s\nUsage: tobble_filter FILTER [--replace]\nFilters:", problem);
  for (i = 0; i < tobble_filter_count(); ++i) {
    fprintf(stderr, " %s", tobble_filter_name(tobble_filter_at(i)));
  }
  fprintf(stderr, "\n");
  return 2;
}

int main(int argc, char** argv) {
  static uint8_t block[1 << 16];
  const tobble_filter* filter;
  tobble_stream* stream = NULL;
  tobble_status status = TOBBLE_OK;
  unsigned flags = 0;
  int write_error = 0;
  size_t got;

  if (argc < 2 || argc > 3) return usage("expected a filter name");
  if (argc == 3) {
    if (strcmp(argv[2], "--replace") != 0) return usage("unknown option");
    flags = TOBBLE_REPLACE;
  }
  filter = tobble_filter_find(argv[1]);
  if (filter == NULL) return usage("unknown filter");

  status = tobble_stream_create(filter, TOBBLE_UTF8, flags, write_output, &write_error, &stream);
  if (status != TOBBLE_OK) {
    fprintf(stderr, "tobble_filter: %s\n", tobble_status_message(status));
    return 1;
  }
  while (status == TOBBLE_OK && (got = fread(block, 1, sizeof block, stdin)) > 0) {
    status = tobble_stream_feed(stream, block, got);
  }
  if (status == TOBBLE_OK && ferror(stdin)) {
    fprintf(stderr, "tobble_filter: standard input: %s\n", strerror(errno));
    tobble_stream_destroy(stream);
    return 1;
  }
  if (status == TOBBLE_OK) status = tobble_stream_finish(stream);
  if (status == TOBBLE_OK && fflush(stdout) != 0) {
    write_error = errno;
    status = TOBBLE_ERROR_WRITE;
  }

  if (status == TOBBLE_ERROR_INVALID_INPUT) {
    fflush(stdout);
    fprintf(stderr, "tobble_filter: invalid UTF-8 at byte %llu\n",
            (unsigned long long)tobble_stream_error_offset(stream));
  } else if (status == TOBBLE_ERROR_WRITE) {
    fprintf(stderr, "tobble_filter: standard output: %s\n", strerror(write_error));
  } else if (status != TOBBLE_OK) {
    fprintf(stderr, "tobble_filter: %s\n", tobble_status_message(status));
  } else if (tobble_stream_replaced_input(stream) > 0) {
    fprintf(stderr, "tobble_filter: warning: %llu invalid sequences replaced with U+FFFD\n",
            (unsigned long long)tobble_stream_replaced_input(stream));
  }
  tobble_stream_destroy(stream);
  return status == TOBBLE_OK ? 0 : 1;
}
