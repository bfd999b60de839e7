package com.tremvik.velm;

import java.nio.ByteBuffer;

/**
 * The VELM host audio library (2.4) for Java programs. The numbers are the
 * C interface's unsigned values bit for bit: a 64-bit result of -1 is the C
 * all-ones "not available", and VELM_ChannelGetData gives -1 at the end of
 * the stream (VELM_ErrorGetCode() is then VELM_ERROR_ENDED).
 */
public final class VELM {
    static {
        System.loadLibrary("velm");
    }

    private VELM() {}

    public static final int VELM_VERSION = 0x02040000;

    // Error codes (VELM_ErrorGetCode).
    public static final int VELM_OK = 0;
    public static final int VELM_ERROR_MEM = 1;
    public static final int VELM_ERROR_FILEOPEN = 2;
    public static final int VELM_ERROR_HANDLE = 5;
    public static final int VELM_ERROR_POSITION = 7;
    public static final int VELM_ERROR_ILLTYPE = 19;
    public static final int VELM_ERROR_ILLPARAM = 20;
    public static final int VELM_ERROR_NOTAVAIL = 37;
    public static final int VELM_ERROR_DECODE = 38;
    public static final int VELM_ERROR_TIMEOUT = 40; // a source gave nothing within VELM_CONFIG_NET_TIMEOUT
    public static final int VELM_ERROR_FILEFORM = 41;
    public static final int VELM_ERROR_VERSION = 43;
    public static final int VELM_ERROR_ENDED = 45;
    public static final int VELM_ERROR_SOURCE = 46; // a source broke off before its end
    public static final int VELM_ERROR_UNKNOWN = -1;

    // Stream flags.
    public static final int VELM_SAMPLE_8BITS = 0x1;
    public static final int VELM_SAMPLE_FLOAT = 0x100;
    public static final int VELM_STREAM_DECODE = 0x200000;
    public static final int VELM_UNICODE = 0x80000000;

    // Length and position modes.
    public static final int VELM_POS_BYTE = 0;

    // Config ids of the add-on tables, and this host's read-only diagnostics:
    // Java global references it holds, and bytes of C heap in use.
    public static final int VELM_CONFIG_ADDON = 0x8000;
    public static final int VELM_CONFIG_JAVA = 0x8002;
    public static final int VELM_CONFIG_JAVA_REFS = 0x8100;
    public static final int VELM_CONFIG_HEAP_USED = 0x8101;

    /** Called with each piece of a URL source as it arrives; the buffer is read-only and valid only during the call. */
    public interface DownloadProc {
        void download(ByteBuffer buffer, int length, Object user);
    }

    /**
     * A source read through the application's own procedures. {@code read} fills up to
     * {@code length} bytes from the start of {@code buffer} (valid only during the call) and
     * returns the count, fewer only at the end; {@code length} returns -1 when unknown;
     * {@code seek} returns true when the offset was reached. A procedure that throws counts
     * as a failed read (nothing read) or a failed seek.
     */
    public interface FileProcs {
        void close(Object user);
        long length(Object user);
        int read(ByteBuffer buffer, int length, Object user);
        boolean seek(long offset, Object user);
    }

    public static native int VELM_ErrorGetCode();
    public static native int VELM_GetVersion();
    public static native boolean VELM_SetConfig(int option, int value);
    public static native int VELM_GetConfig(int option);
    public static native int VELM_PluginLoad(String path);
    /**
     * Fills the start of a direct buffer with up to {@code length} bytes (at most its capacity).
     * A heap, read-only or empty buffer, or a {@code length} below 1, gives -1 with
     * VELM_ERROR_ILLPARAM.
     */
    public static native int VELM_ChannelGetData(int handle, ByteBuffer buffer, int length);
    public static native long VELM_ChannelGetLength(int handle, int mode);
    public static native boolean VELM_ChannelSetPosition(int handle, long pos, int mode);
    public static native long VELM_ChannelGetPosition(int handle, int mode);
    /**
     * A Java-form request gives the object the add-on built; a plain one a read-only direct
     * ByteBuffer over the tag bytes (valid until the stream is freed), or null.
     */
    public static native Object VELM_ChannelGetTags(int handle, int type);
    public static native boolean VELM_ChannelGetAttribute(int handle, int attrib, float[] value);
    public static native boolean VELM_ChannelSetAttribute(int handle, int attrib, float value);
    public static native boolean VELM_StreamFree(int handle);
}
