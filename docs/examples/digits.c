/* Prints 16 hexadecimal digits of pi from the place given (default 1000001). */
#include <stdio.h>
#include <stdlib.h>
#include <tallyspire/bbp.h>

int main(int argc, char **argv) {
  tly_bbp_request request = {.formula = TLY_BBP_BELLARD, .place = argc > 1 ? strtoull(argv[1], NULL, 10) : 1000001, .digits = 16};
  char hex[17], message[200];
  if (tly_bbp_compute(&request, hex, sizeof hex, message, sizeof message) != TLY_BBP_OK) return fprintf(stderr, "%s\n", message), 1;
  return printf("%s\n", hex) < 0;
}
