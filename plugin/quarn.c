/* The stand-in plug-in installed as libquarn.so. The archive tools load it through "--plugin"
   and call its entry point; it accepts and claims nothing, so the tools go on as without it. */
int onload(void *transfer_vector);

int onload(void *transfer_vector) {
  (void)transfer_vector;
  return 0;
}
