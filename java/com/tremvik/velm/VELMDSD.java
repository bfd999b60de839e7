package com.tremvik.velm;

/**
 * The DSD add-on (DSF and DSDIFF) for Java programs. Streams are played and
 * freed through {@link VELM}.
 */
public final class VELMDSD {
    static {
        VELM.VELM_GetVersion(); // the host library is loaded (and knows the Java VM) first
        System.loadLibrary("velmdsd");
    }

    private VELMDSD() {}

    // Stream flags.
    public static final int VELM_DSD_RAW = 0x200;
    public static final int VELM_DSD_DOP = 0x400;
    public static final int VELM_DSD_PCM_HQ = 0x800; // high-quality PCM conversion

    // Configuration options.
    public static final int VELM_DSD_CONFIG_RATE = 0x10800;
    public static final int VELM_DSD_CONFIG_GAIN = 0x10801;
    public static final int VELM_DSD_CONFIG_QUALITY = 0x10803; // 0 designed filter, 1 high quality

    // Attributes.
    public static final int VELM_DSD_ATTRIB_GAIN = 0x14000;
    public static final int VELM_DSD_ATTRIB_RATE = 0x14001;

    // Channel type.
    public static final int VELM_CTYPE_DSD = 0x11700;

    // Tag types.
    public static final int VELM_TAG_ID3V2 = 1;
    public static final int VELM_TAG_DSD_ARTIST = 0x13000;
    public static final int VELM_TAG_DSD_TITLE = 0x13001;
    public static final int VELM_TAG_DSD_COMMENT_BASE = 0x13100;
    public static final int VELM_TAG_JAVA_OBJECT = 0x80000000;

    // Error codes of the add-on beyond the host's own.
    public static final int VELM_ERROR_JAVA_CLASS = 500;
    public static final int VELM_ERROR_JAVA_TYPE = 501;

    public static final int VELM_DSD_JAVA_FILE_MARKER = 0x11111111;

    /** A DSDIFF comment. The numbers are the file's bit patterns: 0x8000 reads as a negative short. */
    public static class TAG_DSD_COMMENT {
        public short timeStampYear;
        public byte timeStampMonth;
        public byte timeStampDay;
        public byte timeStampHour;
        public byte timeStampMinutes;
        public short cmtType;
        public short cmtRef;
        public String commentText;

        @Override
        public String toString() {
            return String.format("%04d-%02d-%02d %02d:%02d type %d ref %d: %s", timeStampYear & 0xFFFF,
                    timeStampMonth & 0xFF, timeStampDay & 0xFF, timeStampHour & 0xFF, timeStampMinutes & 0xFF,
                    cmtType & 0xFFFF, cmtRef & 0xFFFF, commentText);
        }
    }

    /**
     * Opens a file: {@code file} is a path String, or a direct ByteBuffer holding the file
     * ({@code offset} and {@code length} within it, length 0 meaning to its end). Anything
     * else fails with VELM_ERROR_ILLPARAM.
     */
    public static native int VELM_DSD_StreamCreateFile(Object file, long offset, long length, int flags, int freq);

    /** Opens a URL; {@code proc} (may be null) sees the data as it arrives. */
    public static native int VELM_DSD_StreamCreateURL(String url, int offset, int flags, VELM.DownloadProc proc,
            Object user, int freq);

    /** Opens a source read through {@code procs}; {@code system} must be 0. */
    public static native int VELM_DSD_StreamCreateFileUser(int system, int flags, VELM.FileProcs procs, Object user,
            int freq);
}
