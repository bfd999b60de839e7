package com.tremvik.velm.test;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertNotEquals;
import static org.junit.jupiter.api.Assertions.assertNull;
import static org.junit.jupiter.api.Assertions.assertSame;
import static org.junit.jupiter.api.Assertions.assertTrue;

import com.tremvik.velm.VELM;
import com.tremvik.velm.VELMDSD;
import java.io.ByteArrayOutputStream;
import java.io.IOException;
import java.io.RandomAccessFile;
import java.io.UncheckedIOException;
import java.nio.ByteBuffer;
import java.nio.ByteOrder;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.Arrays;
import java.util.concurrent.atomic.AtomicLong;
import org.junit.jupiter.api.Tag;
import org.junit.jupiter.api.Test;

/** The add-on and the stand-in host inside a real JVM, against what the C interface gives for the same files. */
class JvmTest {
    static final Path DIR = Path.of(System.getProperty("velmdsd.fixtures"));
    static final int RAW = VELMDSD.VELM_DSD_RAW | VELM.VELM_STREAM_DECODE;
    static final int DOP = VELMDSD.VELM_DSD_DOP | VELM.VELM_SAMPLE_FLOAT;
    static final String[] FORMS = {"pcm16", "pcmfloat", "dop", "raw"};
    static final int[] FORM_FLAGS = {0, VELM.VELM_SAMPLE_FLOAT, DOP, RAW};

    static String path(String name) {
        return DIR.resolve(name).toString();
    }

    static byte[] bytes(String name) {
        try {
            return Files.readAllBytes(DIR.resolve(name));
        } catch (IOException e) {
            throw new UncheckedIOException(e);
        }
    }

    static ByteBuffer direct(byte[] content) {
        ByteBuffer b = ByteBuffer.allocateDirect(content.length);
        b.put(content).flip();
        return b;
    }

    /** Everything the stream gives until the end, read in pieces of `piece` bytes. */
    static byte[] readAll(int handle, int piece) {
        ByteBuffer buf = ByteBuffer.allocateDirect(piece).order(ByteOrder.nativeOrder());
        ByteArrayOutputStream out = new ByteArrayOutputStream();
        byte[] chunk = new byte[piece];
        int n;
        while ((n = VELM.VELM_ChannelGetData(handle, buf, piece)) != -1) {
            buf.clear();
            buf.get(chunk, 0, n);
            out.write(chunk, 0, n);
            if (n == 0) break;
        }
        assertEquals(VELM.VELM_ERROR_ENDED, VELM.VELM_ErrorGetCode());
        return out.toByteArray();
    }

    static int refs() {
        return VELM.VELM_GetConfig(VELM.VELM_CONFIG_JAVA_REFS);
    }

    /** The file procedures over a RandomAccessFile, with the faults a careless implementation has. */
    static class FileProcs implements VELM.FileProcs {
        enum Fault { NONE, OVERCOUNT, NEGATIVE, THROW }

        final RandomAccessFile file;
        Fault fault = Fault.NONE;
        boolean seekThrows;
        int closed;
        Object seenUser;

        FileProcs(String name) {
            try {
                file = new RandomAccessFile(DIR.resolve(name).toFile(), "r");
            } catch (IOException e) {
                throw new UncheckedIOException(e);
            }
        }

        @Override
        public void close(Object user) {
            closed++;
            seenUser = user;
            try {
                file.close();
            } catch (IOException e) {
                throw new UncheckedIOException(e);
            }
        }

        @Override
        public long length(Object user) {
            try {
                return file.length();
            } catch (IOException e) {
                return -1;
            }
        }

        @Override
        public int read(ByteBuffer buffer, int length, Object user) {
            byte[] b = new byte[length];
            int n;
            try {
                n = Math.max(file.read(b, 0, length), 0);
            } catch (IOException e) {
                return 0;
            }
            ByteBuffer to = buffer.duplicate();
            to.clear();
            to.put(b, 0, n);
            boolean full = n == length;
            switch (fault) {
            case OVERCOUNT: return n + 1000; // claims more than it was asked for
            case NEGATIVE: return full ? n : -7; // the short read at the end comes back negative
            case THROW: if (!full) throw new IllegalStateException("read fails at the end"); return n;
            default: return n;
            }
        }

        @Override
        public boolean seek(long offset, Object user) {
            if (seekThrows) throw new IllegalStateException("seek fails");
            try {
                file.seek(offset);
                return true;
            } catch (IOException e) {
                return false;
            }
        }
    }

    /** The same bytes as the C interface, whichever way the file reaches the add-on. */
    @Test
    void everySourceGivesWhatTheCInterfaceGives() {
        AtomicLong downloaded = new AtomicLong();
        Object user = new Object();
        Object[] seenUser = new Object[1];
        VELM.DownloadProc proc = (buffer, length, u) -> {
            assertTrue(buffer.isReadOnly() && buffer.capacity() == length);
            downloaded.addAndGet(length);
            seenUser[0] = u;
        };
        for (String name : new String[] {"song.dsf", "song.dff"}) {
            byte[] file = bytes(name);
            for (int f = 0; f < FORMS.length; f++) {
                byte[] expected = bytes(name + "." + FORMS[f]);
                int flags = FORM_FLAGS[f];
                String what = name + " " + FORMS[f];
                // The ByteBuffer window skips 5 leading bytes that are not part of the file.
                byte[] padded = new byte[file.length + 5];
                System.arraycopy(file, 0, padded, 5, file.length);
                FileProcs procs = new FileProcs(name);
                int[] handles = {
                    VELMDSD.VELM_DSD_StreamCreateFile(path(name), 0, 0, flags, 0),
                    VELMDSD.VELM_DSD_StreamCreateFile(direct(padded), 5, 0, flags, 0),
                    VELMDSD.VELM_DSD_StreamCreateFile(direct(padded), 5, file.length, flags, 0),
                    VELMDSD.VELM_DSD_StreamCreateFileUser(0, flags, procs, user, 0),
                    VELMDSD.VELM_DSD_StreamCreateURL("file://" + path(name), 0, flags, proc, user, 0),
                    VELMDSD.VELM_DSD_StreamCreateURL("file://" + path(name), 0, flags | 0x80000000, null, null, 0),
                };
                for (int i = 0; i < handles.length; i++) {
                    assertNotEquals(0, handles[i], what + " source " + i + ": error " + VELM.VELM_ErrorGetCode());
                    assertArrayEquals(expected, readAll(handles[i], 4000 + 333 * i), what + " source " + i);
                    assertTrue(VELM.VELM_StreamFree(handles[i]));
                }
                assertEquals(1, procs.closed, what);
                assertSame(user, procs.seenUser, what);
            }
        }
        assertTrue(downloaded.get() > 0);
        assertSame(user, seenUser[0]);
        assertEquals(0, refs());
    }

    @Test
    void tagsComeAsJavaObjects() {
        int h = VELMDSD.VELM_DSD_StreamCreateFile(path("song.dff"), 0, 0, 0, 0);
        assertNotEquals(0, h);
        final int J = VELMDSD.VELM_TAG_JAVA_OBJECT;
        assertEquals("The Artist", VELM.VELM_ChannelGetTags(h, VELMDSD.VELM_TAG_DSD_ARTIST | J));
        String title = (String) VELM.VELM_ChannelGetTags(h, VELMDSD.VELM_TAG_DSD_TITLE | J);
        assertEquals("Ti\u00e9tle \ud83c\udfb5", title);
        assertEquals(8, title.codePointCount(0, title.length()));

        VELMDSD.TAG_DSD_COMMENT c =
                (VELMDSD.TAG_DSD_COMMENT) VELM.VELM_ChannelGetTags(h, (VELMDSD.VELM_TAG_DSD_COMMENT_BASE + 0) | J);
        assertEquals("2015-12-31 23:59 type 1 ref 0: one", c.toString());
        VELMDSD.TAG_DSD_COMMENT d =
                (VELMDSD.TAG_DSD_COMMENT) VELM.VELM_ChannelGetTags(h, (VELMDSD.VELM_TAG_DSD_COMMENT_BASE + 1) | J);
        short[] shorts = {d.timeStampYear, d.cmtType, d.cmtRef};
        byte[] bytes = {d.timeStampMonth, d.timeStampDay, d.timeStampHour, d.timeStampMinutes};
        assertArrayEquals(new short[] {2016, (short) 0x8000, -1}, shorts);
        assertArrayEquals(new byte[] {(byte) 0x80, 2, 3, 4}, bytes);
        assertEquals("", d.commentText);

        // The plain form: read-only views of the tag bytes.
        ByteBuffer plain = (ByteBuffer) VELM.VELM_ChannelGetTags(h, VELMDSD.VELM_TAG_DSD_TITLE);
        assertTrue(plain.isReadOnly());
        byte[] utf8 = new byte[plain.remaining()];
        plain.get(utf8);
        assertEquals(title, new String(utf8, java.nio.charset.StandardCharsets.UTF_8));
        ByteBuffer comment = (ByteBuffer) VELM.VELM_ChannelGetTags(h, VELMDSD.VELM_TAG_DSD_COMMENT_BASE);
        assertEquals(14 + 3, comment.capacity());

        // Absent tags: null, with no error code.
        int[] absent = {VELMDSD.VELM_TAG_DSD_COMMENT_BASE + 2, (VELMDSD.VELM_TAG_DSD_COMMENT_BASE + 2) | J,
            VELMDSD.VELM_TAG_ID3V2 | J, 0x13002 | J, 0x130FF};
        for (int type : absent) {
            assertNull(VELM.VELM_ChannelGetTags(h, type), Integer.toHexString(type));
            assertEquals(0, VELM.VELM_ErrorGetCode(), Integer.toHexString(type));
        }
        assertTrue(VELM.VELM_StreamFree(h));

        // A DSF file's ID3v2 tag has no Java form.
        int dsf = VELMDSD.VELM_DSD_StreamCreateFile(path("song.dsf"), 0, 0, 0, 0);
        ByteBuffer id3 = (ByteBuffer) VELM.VELM_ChannelGetTags(dsf, VELMDSD.VELM_TAG_ID3V2);
        assertEquals(10 + 64, id3.capacity());
        assertEquals('I', id3.get(0));
        assertNull(VELM.VELM_ChannelGetTags(dsf, VELMDSD.VELM_TAG_ID3V2 | J));
        assertEquals(VELMDSD.VELM_ERROR_JAVA_TYPE, VELM.VELM_ErrorGetCode());
        assertNull(VELM.VELM_ChannelGetTags(dsf, VELMDSD.VELM_TAG_DSD_ARTIST | J));
        assertEquals(0, VELM.VELM_ErrorGetCode());
        VELM.VELM_StreamFree(dsf);

        // Text that is not valid UTF-8 arrives with U+FFFD for each bad piece.
        int bad = VELMDSD.VELM_DSD_StreamCreateFile(path("bad_text.dff"), 0, 0, 0, 0);
        assertEquals("a\ufffd\ufffd(b\ufffd\ufffd\ufffdz\ufffd",
                VELM.VELM_ChannelGetTags(bad, VELMDSD.VELM_TAG_DSD_ARTIST | J));
        VELM.VELM_StreamFree(bad);
    }

    @Test
    void failuresReportTheirCodeAndKeepNoReference() {
        VELM.FileProcs good = new FileProcs("song.dsf");
        VELM.DownloadProc proc = (b, l, u) -> {};
        Object user = new Object();
        Object[][] cases = {
            // what, expected error, creation
            {"integer object", VELM.VELM_ERROR_ILLPARAM, (Creation) () -> VELMDSD.VELM_DSD_StreamCreateFile(42, 0, 0, 0, 0)},
            {"heap buffer", VELM.VELM_ERROR_ILLPARAM,
                (Creation) () -> VELMDSD.VELM_DSD_StreamCreateFile(ByteBuffer.wrap(bytes("song.dsf")), 0, 0, 0, 0)},
            {"null file", VELM.VELM_ERROR_ILLPARAM, (Creation) () -> VELMDSD.VELM_DSD_StreamCreateFile(null, 0, 0, 0, 0)},
            {"buffer offset past its end", VELM.VELM_ERROR_ILLPARAM,
                (Creation) () -> VELMDSD.VELM_DSD_StreamCreateFile(direct(new byte[10]), 11, 0, 0, 0)},
            {"buffer not dsd", VELM.VELM_ERROR_FILEFORM,
                (Creation) () -> VELMDSD.VELM_DSD_StreamCreateFile(direct(bytes("not_dsd.bin")), 0, 0, 0, 0)},
            {"missing path", VELM.VELM_ERROR_FILEOPEN,
                (Creation) () -> VELMDSD.VELM_DSD_StreamCreateFile(path("missing.dsf"), 0, 0, 0, 0)},
            {"raw without decode", VELM.VELM_ERROR_ILLPARAM,
                (Creation) () -> VELMDSD.VELM_DSD_StreamCreateFile(path("song.dsf"), 0, 0, VELMDSD.VELM_DSD_RAW, 0)},
            {"url not dsd", VELM.VELM_ERROR_FILEFORM,
                (Creation) () -> VELMDSD.VELM_DSD_StreamCreateURL("file://" + path("not_dsd.bin"), 0, 0, proc, user, 0)},
            {"null url", VELM.VELM_ERROR_ILLPARAM,
                (Creation) () -> VELMDSD.VELM_DSD_StreamCreateURL(null, 0, 0, proc, user, 0)},
            {"user system 1", VELM.VELM_ERROR_ILLPARAM,
                (Creation) () -> VELMDSD.VELM_DSD_StreamCreateFileUser(1, 0, good, user, 0)},
            {"user null procs", VELM.VELM_ERROR_ILLPARAM,
                (Creation) () -> VELMDSD.VELM_DSD_StreamCreateFileUser(0, 0, null, user, 0)},
            {"user not dsd", VELM.VELM_ERROR_FILEFORM,
                (Creation) () -> VELMDSD.VELM_DSD_StreamCreateFileUser(0, 0, new FileProcs("not_dsd.bin"), user, 0)},
        };
        for (Object[] c : cases) {
            assertEquals(0, ((Creation) c[2]).create(), (String) c[0]);
            assertEquals(c[1], VELM.VELM_ErrorGetCode(), (String) c[0]);
            assertEquals(0, refs(), (String) c[0]);
        }
        ByteBuffer buf = ByteBuffer.allocateDirect(16);
        assertEquals(-1, VELM.VELM_ChannelGetData(0, buf, 16));
    }

    /** Buffers that cannot take data are refused, and the stream and its tags are as they were. */
    @Test
    void getDataRefusesBuffersItCannotFill() {
        int h = VELMDSD.VELM_DSD_StreamCreateFile(path("song.dff"), 0, 0, RAW, 0);
        int plain = VELMDSD.VELM_DSD_StreamCreateFile(path("song.dff"), 0, 0, RAW, 0);
        ByteBuffer title = (ByteBuffer) VELM.VELM_ChannelGetTags(h, VELMDSD.VELM_TAG_DSD_TITLE);
        byte[] titleBytes = new byte[title.capacity()];
        title.duplicate().get(titleBytes);
        Object[][] cases = {
            // what, buffer, length
            {"heap buffer", ByteBuffer.allocate(16), 16},
            {"null buffer", null, 16},
            {"read-only direct buffer", ByteBuffer.allocateDirect(16).asReadOnlyBuffer(), 16},
            {"the title tag's buffer", title, titleBytes.length},
            {"0-byte buffer", ByteBuffer.allocateDirect(0), 16},
            {"length 0", ByteBuffer.allocateDirect(16), 0},
            {"negative length", ByteBuffer.allocateDirect(16), -1},
        };
        for (Object[] c : cases) {
            assertEquals(-1, VELM.VELM_ChannelGetData(h, (ByteBuffer) c[1], (Integer) c[2]), (String) c[0]);
            assertEquals(VELM.VELM_ERROR_ILLPARAM, VELM.VELM_ErrorGetCode(), (String) c[0]);
        }
        byte[] after = new byte[titleBytes.length];
        ((ByteBuffer) VELM.VELM_ChannelGetTags(h, VELMDSD.VELM_TAG_DSD_TITLE)).get(after);
        assertArrayEquals(titleBytes, after);
        assertArrayEquals(readAll(plain, 4096), readAll(h, 4096));
        VELM.VELM_StreamFree(h);
        VELM.VELM_StreamFree(plain);
    }

    interface Creation {
        int create();
    }

    /** A callback that throws, or returns a negative or too large count, is clamped; playback carries on. */
    @Test
    void misbehavingCallbacksAreClamped() {
        byte[] expected = bytes("song.dsf.raw");
        for (FileProcs.Fault fault : FileProcs.Fault.values()) {
            FileProcs procs = new FileProcs("song.dsf");
            procs.fault = fault;
            int h = VELMDSD.VELM_DSD_StreamCreateFileUser(0, RAW, procs, null, 0);
            assertNotEquals(0, h, fault + ": error " + VELM.VELM_ErrorGetCode());
            float[] rate = new float[1];
            assertTrue(VELM.VELM_ChannelGetAttribute(h, VELMDSD.VELM_DSD_ATTRIB_RATE, rate));
            assertEquals(2822400f, rate[0]);
            // A count beyond the buffer is clamped to it; a failing final read delivers nothing,
            // so the stream ends at the last whole read.
            byte[] got = readAll(h, 4096);
            assertArrayEquals(Arrays.copyOf(expected, got.length), got, fault.toString());
            boolean whole = fault == FileProcs.Fault.NONE || fault == FileProcs.Fault.OVERCOUNT;
            assertTrue(whole ? got.length == expected.length : got.length >= expected.length - 2 * 4096,
                    fault + ": " + got.length + " of " + expected.length + " bytes");
            procs.seekThrows = true;
            assertTrue(!VELM.VELM_ChannelSetPosition(h, 0, VELM.VELM_POS_BYTE), fault.toString());
            assertTrue(VELM.VELM_StreamFree(h));
        }
        assertEquals(0, refs());
    }

    /** 1,400 create/read/free cycles from Java: no global reference and no native memory stays behind. */
    @Test
    @Tag("leak")
    void createReadFreeCyclesLeakNothing() {
        byte[] dsf = bytes("song.dsf");
        ByteBuffer memory = direct(dsf);
        ByteBuffer out = ByteBuffer.allocateDirect(65536);
        VELM.DownloadProc proc = (b, l, u) -> {};
        Creation[] sources = {
            () -> VELMDSD.VELM_DSD_StreamCreateFile(path("song.dff"), 0, 0, 0, 0),
            () -> VELMDSD.VELM_DSD_StreamCreateFile(memory, 0, 0, DOP, 0),
            () -> VELMDSD.VELM_DSD_StreamCreateFileUser(0, RAW, new FileProcs("song.dsf"), new Object(), 0),
            () -> VELMDSD.VELM_DSD_StreamCreateURL("file://" + path("song.dff"), 0, 0, proc, new Object(), 0),
        };
        // The C heap is shared with the JVM (run interpreted, so that no compiler works beside
        // the cycles): a leak shows as growth in every window of cycles, a JVM step in one at most.
        long smallestGrowth = Long.MAX_VALUE;
        long heapAt = 0;
        for (int cycle = 0; cycle < 1400; cycle++) {
            if (cycle >= 200 && cycle % 400 == 200) {
                long heap = VELM.VELM_GetConfig(VELM.VELM_CONFIG_HEAP_USED) & 0xFFFFFFFFL;
                if (cycle > 200) smallestGrowth = Math.min(smallestGrowth, heap - heapAt);
                heapAt = heap;
            }
            int h = sources[cycle % sources.length].create();
            assertNotEquals(0, h, "cycle " + cycle);
            assertTrue(VELM.VELM_ChannelGetData(h, out, out.capacity()) > 0);
            VELM.VELM_ChannelGetTags(h, VELMDSD.VELM_TAG_DSD_TITLE | VELMDSD.VELM_TAG_JAVA_OBJECT);
            assertTrue(VELM.VELM_StreamFree(h));
            assertEquals(0, refs(), "cycle " + cycle);
        }
        long growth = Math.min(smallestGrowth, (VELM.VELM_GetConfig(VELM.VELM_CONFIG_HEAP_USED) & 0xFFFFFFFFL) - heapAt);
        // One leaked stream record alone is over 25 KB a cycle.
        assertTrue(growth < 400_000, "C heap grew by " + growth + " bytes over 400 cycles");
    }
}
