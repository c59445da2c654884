/* Asks pipeword for its word through libpipeword: pipeword_example [REQUEST]
   Build: cc pipeword_example.c $(pkg-config --cflags --libs pipeword) -o pipeword_example
   Exit status as pipeword-client's: 0 word received, 1 pipe closed without a reply, 2 error */
#include <pipeword.h>
#include <stdio.h>

int main(int argc, char *argv[]) {
    pipeword_exchange *exchange = pipeword_new();
    /* SamplePipe, waiting up to 5 s for its server to start or be free; the request is
       UTF-8 text (on Windows argv is in the ANSI code page: keep it ASCII there). */
    int status = pipeword_ask(exchange, NULL, argc > 1 ? argv[1] : "Hello", 5000);
    if (status == PIPEWORD_WORD_RECEIVED) {
        size_t size;
        const unsigned char *reply = pipeword_reply(exchange, &size);
        char word[256];
        pipeword_reply_text(reply, size, word, sizeof word);
        printf("%s\n", word);
    } else {
        fprintf(stderr, "pipeword client: %s\n", pipeword_cause(exchange));
    }
    pipeword_free(exchange);
    return status;
}
