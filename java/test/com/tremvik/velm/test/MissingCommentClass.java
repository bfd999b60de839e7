package com.tremvik.velm.test;

import com.tremvik.velm.VELM;
import com.tremvik.velm.VELMDSD;

/**
 * Runs with VELMDSD on the class path but not its TAG_DSD_COMMENT class: a comment in Java
 * form fails with VELM_ERROR_JAVA_CLASS and the class lookup's exception reaches the caller,
 * while the other tags still work. Exits non-zero on failure.
 *   MissingCommentClass DSDIFF-FILE-WITH-COMMENTS
 */
public final class MissingCommentClass {
    public static void main(String[] args) {
        int failures = 0;
        int h = VELMDSD.VELM_DSD_StreamCreateFile(args[0], 0, 0, 0, 0);
        if (h == 0) {
            System.err.println("cannot open " + args[0] + ": error " + VELM.VELM_ErrorGetCode());
            System.exit(1);
        }
        Throwable thrown = null;
        Object comment = null;
        try {
            comment = VELM.VELM_ChannelGetTags(h, VELMDSD.VELM_TAG_DSD_COMMENT_BASE | VELMDSD.VELM_TAG_JAVA_OBJECT);
        } catch (NoClassDefFoundError e) {
            thrown = e;
        }
        int code = VELM.VELM_ErrorGetCode();
        if (thrown == null || comment != null || code != VELMDSD.VELM_ERROR_JAVA_CLASS) {
            System.err.println("comment: got " + comment + ", thrown " + thrown + ", error " + code);
            failures++;
        }
        Object title = VELM.VELM_ChannelGetTags(h, VELMDSD.VELM_TAG_DSD_TITLE | VELMDSD.VELM_TAG_JAVA_OBJECT);
        if (!(title instanceof String)) {
            System.err.println("title: got " + title);
            failures++;
        }
        VELM.VELM_StreamFree(h);
        System.out.println(failures == 0 ? "ok" : failures + " failures");
        System.exit(failures == 0 ? 0 : 1);
    }
}
