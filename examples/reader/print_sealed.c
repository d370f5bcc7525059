/* Prints a sealed chart file as text, through the installed reader library.
 * Usage: print_sealed FILE */
#include <stdio.h>
#include <stdlib.h>

#include <chartseal/reader.h>

int main(int argc, char** argv)
{
    if (argc != 2) {
        fprintf(stderr, "usage: print_sealed FILE\n");
        return 2;
    }
    size_t length = 0;
    /* First the size, then the bytes. */
    chartseal_status status = chartseal_read_file(argv[1], NULL, 0, &length);
    if (status != CHARTSEAL_OK && status != CHARTSEAL_BUFFER_TOO_SMALL) {
        fprintf(stderr, "print_sealed: %s: %s\n", argv[1], chartseal_status_text(status));
        return 1;
    }
    char* text = malloc(length > 0 ? length : 1);
    if (text == NULL) return 1;
    status = chartseal_read_file(argv[1], text, length, &length);
    if (status != CHARTSEAL_OK) {
        fprintf(stderr, "print_sealed: %s: %s\n", argv[1], chartseal_status_text(status));
        free(text);
        return 1;
    }
    fwrite(text, 1, length, stdout);
    free(text);
    return fflush(stdout) == 0 ? 0 : 1;
}
