/* A PKCS#11 module for tests: forwards every call to the module named by $KIVO_SHIM_TARGET
 * (SoftHSM2) and misbehaves as $KIVO_SHIM asks, a comma-separated list of:
 *   print-initialize, print-sign   print a line to standard output in C_Initialize / C_Sign
 *   fail-initialize, fail-slot-list   C_Initialize / C_GetSlotList answer CKR_DEVICE_ERROR
 *   removed=<code>   the token goes between the search and the signature: C_SignInit answers
 *                    <code> (decimal, or hex with 0x)
 *   hang-sign        C_Sign never returns
 *   no-rsa-signing   the token offers no RSA signing mechanism: C_GetMechanismInfo answers
 *                    CKR_MECHANISM_INVALID for CKM_RSA_PKCS and CKM_SHA*_RSA_PKCS
 */
#include <dlfcn.h>
#include <p11-kit/pkcs11.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

static CK_FUNCTION_LIST target;
static CK_FUNCTION_LIST shim;

/* The switch `name` when $KIVO_SHIM holds it: what follows the name ("" or "=<value>"). */
static const char* wanted(const char* name) {
    const size_t length = strlen(name);
    for (const char* at = getenv("KIVO_SHIM"); at != NULL && *at != '\0'; at += strcspn(at, ",")) {
        at += *at == ',';
        if (strncmp(at, name, length) == 0 && strchr(",=", at[length]) != NULL) {
            return at + length;
        }
    }
    return NULL;
}

static void printIf(const char* name, const char* line) {
    if (wanted(name) != NULL) {
        /* Through stdio, as a module that prints would. */
        printf("%s\n", line);
        fflush(stdout);
    }
}

static CK_RV shimInitialize(CK_VOID_PTR arguments) {
    printIf("print-initialize", "misbehaving module: C_Initialize");
    return wanted("fail-initialize") != NULL ? CKR_DEVICE_ERROR : target.C_Initialize(arguments);
}

static CK_RV shimGetSlotList(CK_BBOOL present, CK_SLOT_ID_PTR slots, CK_ULONG_PTR count) {
    return wanted("fail-slot-list") != NULL ? CKR_DEVICE_ERROR
                                            : target.C_GetSlotList(present, slots, count);
}

static CK_RV shimGetMechanismInfo(CK_SLOT_ID slot, CK_MECHANISM_TYPE type,
                                  CK_MECHANISM_INFO_PTR info) {
    const int rsaSigning = type == CKM_RSA_PKCS || type == CKM_SHA1_RSA_PKCS ||
                           type == CKM_SHA224_RSA_PKCS || type == CKM_SHA256_RSA_PKCS ||
                           type == CKM_SHA384_RSA_PKCS || type == CKM_SHA512_RSA_PKCS;
    return rsaSigning && wanted("no-rsa-signing") != NULL
               ? CKR_MECHANISM_INVALID
               : target.C_GetMechanismInfo(slot, type, info);
}

static CK_RV shimSignInit(CK_SESSION_HANDLE session, CK_MECHANISM_PTR mechanism,
                          CK_OBJECT_HANDLE key) {
    const char* removed = wanted("removed");
    return removed != NULL && *removed == '=' ? strtoul(removed + 1, NULL, 0)
                                              : target.C_SignInit(session, mechanism, key);
}

static CK_RV shimSign(CK_SESSION_HANDLE session, CK_BYTE_PTR data, CK_ULONG length,
                      CK_BYTE_PTR signature, CK_ULONG_PTR signatureLength) {
    printIf("print-sign", "misbehaving module: C_Sign");
    while (wanted("hang-sign") != NULL) {
        pause();
    }
    return target.C_Sign(session, data, length, signature, signatureLength);
}

CK_RV C_GetFunctionList(CK_FUNCTION_LIST_PTR_PTR list) {
    if (shim.C_GetFunctionList == NULL) {
        const char* path = getenv("KIVO_SHIM_TARGET");
        void* library = path != NULL ? dlopen(path, RTLD_NOW | RTLD_LOCAL) : NULL;
        void* symbol = library != NULL ? dlsym(library, "C_GetFunctionList") : NULL;
        CK_C_GetFunctionList getTargetList = NULL;
        CK_FUNCTION_LIST_PTR targetList = NULL;
        memcpy(&getTargetList, &symbol, sizeof getTargetList);
        if (getTargetList == NULL || getTargetList(&targetList) != CKR_OK) {
            return CKR_GENERAL_ERROR;
        }
        target = *targetList;
        shim = target;
        shim.C_GetFunctionList = C_GetFunctionList;
        shim.C_Initialize = shimInitialize;
        shim.C_GetSlotList = shimGetSlotList;
        shim.C_GetMechanismInfo = shimGetMechanismInfo;
        shim.C_SignInit = shimSignInit;
        shim.C_Sign = shimSign;
    }
    *list = &shim;
    return CKR_OK;
}
