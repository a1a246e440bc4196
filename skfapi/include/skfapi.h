#ifndef SKFAPI_H
#define SKFAPI_H

// Types, constants and function types of the GM/T 0016 smart token interface ("SKF") as
// this project speaks it. The program opens the token library at run time and looks every
// function up by name, so only the function types are declared here, never the functions.
// A library that implements the interface (the stand-in, the scripted test libraries)
// defines each entry point with SKF_EXPORT and checks it with SKF_CHECK_TYPE(SKF_Name), so
// that a signature drifting from its function type does not compile.
//
// Widths of this platform's token library: ULONG is 8 bytes, BOOL 4 bytes, and the
// structures use natural alignment.

#include <cstdint>
#include <type_traits>

typedef std::uint64_t ULONG;
typedef std::int32_t BOOL;
typedef std::uint8_t BYTE;
typedef char CHAR;
typedef char *LPSTR;
typedef void *HANDLE;
typedef HANDLE DEVHANDLE;
typedef HANDLE HAPPLICATION;
typedef HANDLE HCONTAINER;

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

// --- Result codes ---
#define SAR_OK 0x00000000UL
#define SAR_FAIL 0x0A000001UL
#define SAR_UNKNOWNERR 0x0A000002UL
#define SAR_NOTSUPPORTYETERR 0x0A000003UL
#define SAR_FILEERR 0x0A000004UL
#define SAR_INVALIDHANDLEERR 0x0A000005UL
#define SAR_INVALIDPARAMERR 0x0A000006UL
#define SAR_READFILEERR 0x0A000007UL
#define SAR_WRITEFILEERR 0x0A000008UL
#define SAR_NAMELENERR 0x0A000009UL
#define SAR_KEYUSAGEERR 0x0A00000AUL
#define SAR_MODULUSLENERR 0x0A00000BUL
#define SAR_NOTINITIALIZEERR 0x0A00000CUL
#define SAR_OBJERR 0x0A00000DUL
#define SAR_MEMORYERR 0x0A00000EUL
#define SAR_TIMEOUTERR 0x0A00000FUL
#define SAR_INDATALENERR 0x0A000010UL
#define SAR_INDATAERR 0x0A000011UL
#define SAR_GENRANDERR 0x0A000012UL
#define SAR_HASHOBJERR 0x0A000013UL
#define SAR_HASHERR 0x0A000014UL
#define SAR_GENRSAKEYERR 0x0A000015UL
#define SAR_RSAMODULUSLENERR 0x0A000016UL
#define SAR_CSPIMPRTPUBKEYERR 0x0A000017UL
#define SAR_RSAENCERR 0x0A000018UL
#define SAR_RSADECERR 0x0A000019UL
#define SAR_HASHNOTEQUALERR 0x0A00001AUL
#define SAR_KEYNOTFOUNTERR 0x0A00001BUL
#define SAR_CERTNOTFOUNTERR 0x0A00001CUL
#define SAR_NOTEXPORTERR 0x0A00001DUL
#define SAR_DECRYPTPADERR 0x0A00001EUL
#define SAR_MACLENERR 0x0A00001FUL
#define SAR_BUFFER_TOO_SMALL 0x0A000020UL
#define SAR_KEYINFOTYPEERR 0x0A000021UL
#define SAR_NOT_EVENTERR 0x0A000022UL
#define SAR_DEVICE_REMOVED 0x0A000023UL
#define SAR_PIN_INCORRECT 0x0A000024UL
#define SAR_PIN_LOCKED 0x0A000025UL
#define SAR_PIN_INVALID 0x0A000026UL
#define SAR_PIN_LEN_RANGE 0x0A000027UL
#define SAR_USER_ALREADY_LOGGED_IN 0x0A000028UL
#define SAR_USER_PIN_NOT_INITIALIZED 0x0A000029UL
#define SAR_USER_TYPE_INVALID 0x0A00002AUL
#define SAR_APPLICATION_NAME_INVALID 0x0A00002BUL
#define SAR_APPLICATION_EXISTS 0x0A00002CUL
#define SAR_USER_NOT_LOGGED_IN 0x0A00002DUL
#define SAR_APPLICATION_NOT_EXISTS 0x0A00002EUL
#define SAR_FILE_ALREADY_EXIST 0x0A00002FUL
#define SAR_NO_ROOM 0x0A000030UL
#define SAR_FILE_NOT_EXIST 0x0A000031UL
#define SAR_REACH_MAX_CONTAINER_COUNT 0x0A000032UL

// --- Constants ---
#define ADMIN_TYPE 0
#define USER_TYPE 1
#define SECURE_NEVER_ACCOUNT 0x00000000UL
#define SECURE_ADM_ACCOUNT 0x00000001UL
#define SECURE_USER_ACCOUNT 0x00000010UL
#define SECURE_ANYONE_ACCOUNT 0x000000FFUL

#define SGD_SM1_ECB 0x00000101UL
#define SGD_SM3 0x00000001UL

// Device events reported by SKF_WaitForDevEvent.
#define SKF_DEV_EVENT_INSERTED 1
#define SKF_DEV_EVENT_REMOVED 2

// Container types reported by SKF_GetContainerType.
#define SKF_CONTAINER_EMPTY 0
#define SKF_CONTAINER_RSA 1
#define SKF_CONTAINER_ECC 2

#define MAX_IV_LEN 32
#define MAX_RSA_MODULUS_LEN 256
#define MAX_RSA_EXPONENT_LEN 4
#define ECC_MAX_XCOORDINATE_BITS_LEN 512
#define ECC_MAX_YCOORDINATE_BITS_LEN 512
#define ECC_MAX_MODULUS_BITS_LEN 512

// --- Structures ---
typedef struct Struct_Version {
    BYTE major;
    BYTE minor;
} VERSION;

typedef struct Struct_DEVINFO {
    VERSION Version;
    CHAR Manufacturer[64];
    CHAR Issuer[64];
    CHAR Label[32];
    CHAR SerialNumber[32];
    VERSION HWVersion;
    VERSION FirmwareVersion;
    ULONG AlgSymCap;
    ULONG AlgAsymCap;
    ULONG AlgHashCap;
    ULONG DevAuthAlgId;
    ULONG TotalSpace;
    ULONG FreeSpace;
    BYTE Reserved[64];
} DEVINFO, *PDEVINFO;

typedef struct Struct_RSAPUBLICKEYBLOB {
    ULONG AlgID;
    ULONG BitLen;
    BYTE Modulus[MAX_RSA_MODULUS_LEN];
    BYTE PublicExponent[MAX_RSA_EXPONENT_LEN];
} RSAPUBLICKEYBLOB, *PRSAPUBLICKEYBLOB;

typedef struct Struct_ECCPUBLICKEYBLOB {
    ULONG BitLen;
    BYTE XCoordinate[ECC_MAX_XCOORDINATE_BITS_LEN / 8];
    BYTE YCoordinate[ECC_MAX_YCOORDINATE_BITS_LEN / 8];
} ECCPUBLICKEYBLOB, *PECCPUBLICKEYBLOB;

typedef struct Struct_ECCSIGNATUREBLOB {
    BYTE r[ECC_MAX_XCOORDINATE_BITS_LEN / 8];
    BYTE s[ECC_MAX_XCOORDINATE_BITS_LEN / 8];
} ECCSIGNATUREBLOB, *PECCSIGNATUREBLOB;

typedef struct Struct_BLOCKCIPHERPARAM {
    BYTE IV[MAX_IV_LEN];
    ULONG IVLen;
    ULONG PaddingType;
    ULONG FeedBitLen;
} BLOCKCIPHERPARAM, *PBLOCKCIPHERPARAM;

static_assert(sizeof(ULONG) == 8, "the token library's ULONG is 8 bytes");
static_assert(sizeof(BOOL) == 4, "the token library's BOOL is 4 bytes");
static_assert(sizeof(VERSION) == 2, "VERSION is 2 bytes");
static_assert(sizeof(DEVINFO) == 312, "Struct_DEVINFO is 312 bytes");
static_assert(sizeof(RSAPUBLICKEYBLOB) == 280, "RSAPUBLICKEYBLOB is 280 bytes");
static_assert(sizeof(ECCPUBLICKEYBLOB) == 136, "ECCPUBLICKEYBLOB is 136 bytes");
static_assert(sizeof(ECCSIGNATUREBLOB) == 128, "Struct_ECCSIGNATUREBLOB is r[64], s[64]");
static_assert(sizeof(BLOCKCIPHERPARAM) == 56, "BLOCKCIPHERPARAM is 56 bytes");

// --- Function types (resolved by name with dlsym) ---
typedef ULONG SKF_WaitForDevEvent_Fn(LPSTR szDevName, ULONG *pulDevNameLen, ULONG *pulEvent);
typedef ULONG SKF_EnumDev_Fn(BOOL bPresent, LPSTR szNameList, ULONG *pulSize);
typedef ULONG SKF_ConnectDev_Fn(LPSTR szName, DEVHANDLE *phDev);
typedef ULONG SKF_GetDevInfo_Fn(DEVHANDLE hDev, DEVINFO *pDevInfo);
typedef ULONG SKF_SetLabel_Fn(DEVHANDLE hDev, LPSTR szLabel);

typedef ULONG SKF_CreateApplication_Fn(DEVHANDLE hDev, LPSTR szAppName, LPSTR szAdminPin,
                                       ULONG ulAdminPinRetryCount, LPSTR szUserPin,
                                       ULONG ulUserPinRetryCount, ULONG ulCreateFileRights,
                                       HAPPLICATION *phApplication);
typedef ULONG SKF_EnumApplication_Fn(DEVHANDLE hDev, LPSTR szAppName, ULONG *pulSize);
typedef ULONG SKF_DeleteApplication_Fn(DEVHANDLE hDev, LPSTR szAppName);
typedef ULONG SKF_OpenApplication_Fn(DEVHANDLE hDev, LPSTR szAppName, HAPPLICATION *phApplication);
typedef ULONG SKF_CloseApplication_Fn(HAPPLICATION hApplication);

typedef ULONG SKF_VerifyPIN_Fn(HAPPLICATION hApplication, ULONG ulPINType, LPSTR szPIN,
                               ULONG *pulRetryCount);
typedef ULONG SKF_ChangePIN_Fn(HAPPLICATION hApplication, ULONG ulPINType, LPSTR szOldPin,
                               LPSTR szNewPin, ULONG *pulRetryCount);
typedef ULONG SKF_UnblockPIN_Fn(HAPPLICATION hApplication, LPSTR szAdminPIN, LPSTR szNewUserPIN,
                                ULONG *pulRetryCount);

typedef ULONG SKF_EnumContainer_Fn(HAPPLICATION hApplication, LPSTR szContainerName, ULONG *pulSize);
typedef ULONG SKF_OpenContainer_Fn(HAPPLICATION hApplication, LPSTR szContainerName,
                                   HCONTAINER *phContainer);
typedef ULONG SKF_CloseContainer_Fn(HCONTAINER hContainer);
typedef ULONG SKF_GetContainerType_Fn(HCONTAINER hContainer, ULONG *pulContainerType);
typedef ULONG SKF_ExportCertificate_Fn(HCONTAINER hContainer, BOOL bSignFlag, BYTE *pbCert,
                                       ULONG *pulCertLen);

typedef ULONG SKF_SetSymmKey_Fn(DEVHANDLE hDev, BYTE *pbKey, ULONG ulAlgID, HANDLE *phKey);
typedef ULONG SKF_EncryptInit_Fn(HANDLE hKey, BLOCKCIPHERPARAM EncryptParam);
typedef ULONG SKF_Encrypt_Fn(HANDLE hKey, BYTE *pbData, ULONG ulDataLen, BYTE *pbEncryptedData,
                             ULONG *pulEncryptedLen);
typedef ULONG SKF_DecryptInit_Fn(HANDLE hKey, BLOCKCIPHERPARAM DecryptParam);
typedef ULONG SKF_Decrypt_Fn(HANDLE hKey, BYTE *pbEncryptedData, ULONG ulEncryptedLen, BYTE *pbData,
                             ULONG *pulDataLen);

typedef ULONG SKF_RSASignData_Fn(HCONTAINER hContainer, BYTE *pbData, ULONG ulDataLen,
                                 BYTE *pbSignature, ULONG *pulSignLen);
typedef ULONG SKF_RSAVerify_Fn(DEVHANDLE hDev, RSAPUBLICKEYBLOB *pRSAPubKeyBlob, BYTE *pbData,
                               ULONG ulDataLen, BYTE *pbSignature, ULONG ulSignLen);
typedef ULONG SKF_ExportPublicKey_Fn(HCONTAINER hContainer, BOOL bSignFlag, BYTE *pbBlob,
                                     ULONG *pulBlobLen);

typedef ULONG SKF_DigestInit_Fn(DEVHANDLE hDev, ULONG ulAlgID, ECCPUBLICKEYBLOB *pPubKey,
                                unsigned char *pucID, ULONG ulIDLen, HANDLE *phHash);
typedef ULONG SKF_Digest_Fn(HANDLE hHash, BYTE *pbData, ULONG ulDataLen, BYTE *pbHashData,
                            ULONG *pulHashLen);
typedef ULONG SKF_ECCSignData_Fn(HCONTAINER hContainer, BYTE *pbData, ULONG ulDataLen,
                                 PECCSIGNATUREBLOB pSignature);
typedef ULONG SKF_ECCVerify_Fn(DEVHANDLE hDev, ECCPUBLICKEYBLOB *pECCPubKeyBlob, BYTE *pbData,
                               ULONG ulDataLen, PECCSIGNATUREBLOB pSignature);

// --- For implementations ---
#define SKF_EXPORT extern "C" __attribute__((visibility("default")))
#define SKF_CHECK_TYPE(name) \
    static_assert(std::is_same<decltype(name), name##_Fn>::value, #name " has the interface's type")

#endif // SKFAPI_H
