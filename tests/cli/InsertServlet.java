// An insert servlet as the program's peers are written: Jetty 9, getParameter, then the JDK's DOM
// parser. Listens on 127.0.0.1, prints "PORT <n>", then for each request one line:
//   <tabName> <name>=<text> ... (every string Base64 of its UTF-8, so the line survives any bytes)
// The path picks how the form is decoded: /header (the Content-Type charset, else the container's
// default), /<charset> (setCharacterEncoding before the first getParameter) or /old/<charset> (the
// old idiom: the container's default decoding undone with getBytes("ISO-8859-1"), then the bytes
// read in <charset>). A form it cannot read is answered 500.
import java.io.StringReader;
import java.nio.charset.StandardCharsets;
import java.util.Base64;
import javax.servlet.http.*;
import javax.xml.parsers.DocumentBuilderFactory;
import org.eclipse.jetty.server.*;
import org.eclipse.jetty.servlet.*;
import org.w3c.dom.*;
import org.xml.sax.InputSource;

public class InsertServlet extends HttpServlet {
    private static String b64(String text) {
        return Base64.getEncoder().encodeToString(text.getBytes(StandardCharsets.UTF_8));
    }

    private static String parameter(HttpServletRequest request, String name, String oldCharset) throws java.io.IOException {
        String value = String.valueOf(request.getParameter(name));
        return oldCharset == null ? value : new String(value.getBytes("ISO-8859-1"), oldCharset);
    }

    @Override
    protected void doPost(HttpServletRequest request, HttpServletResponse response) throws java.io.IOException {
        StringBuilder line = new StringBuilder();
        String answer = "OK";
        try {
            String mode = request.getPathInfo().substring(1);
            String oldCharset = mode.startsWith("old/") ? mode.substring(4) : null;
            if (!mode.equals("header") && oldCharset == null)
                request.setCharacterEncoding(mode);
            line.append(b64(parameter(request, "tabName", oldCharset)));
            Element root = DocumentBuilderFactory.newInstance().newDocumentBuilder()
                    .parse(new InputSource(new StringReader(parameter(request, "xmlText", oldCharset))))
                    .getDocumentElement();
            for (Node row = root.getFirstChild(); row != null; row = row.getNextSibling()) {
                for (Node cell = row.getFirstChild(); cell != null; cell = cell.getNextSibling()) {
                    if (cell.getNodeType() == Node.ELEMENT_NODE)
                        line.append(' ').append(b64(cell.getNodeName())).append('=').append(b64(cell.getTextContent()));
                }
            }
        } catch (Exception error) {
            line.append(" ERROR ").append(b64(error.toString()));
            response.setStatus(500);
            answer = error.toString();
        }
        System.out.println(line); // System.out flushes at each line
        response.setContentType("text/plain; charset=US-ASCII");
        response.getWriter().print(answer);
    }

    public static void main(String[] args) throws Exception {
        Server server = new Server();
        ServerConnector connector = new ServerConnector(server);
        connector.setHost("127.0.0.1"); // on any free port: the default
        server.addConnector(connector);
        ServletContextHandler context = new ServletContextHandler();
        context.addServlet(new ServletHolder(new InsertServlet()), "/insert/*");
        server.setHandler(context);
        server.start();
        System.out.println("PORT " + connector.getLocalPort());
        server.join();
    }
}
