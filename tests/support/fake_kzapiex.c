/* A stand-in for the SRTP extension library, built in three flavours to test how the server
 * loads it: starting fine, failing to start, and lacking its start entry point. */
#ifdef FAKE_INIT_RESULT
int KZAPI_MyFun0(void) {
    return FAKE_INIT_RESULT;
}
#endif

static int released;
int KZAPI_MyFun10(void) {
    return released++;
}
