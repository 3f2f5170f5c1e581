"""The test playing the user's browser in the authorization code sign-in."""
import http.client
import ssl
import urllib.parse


def play_browser(url, cafile):
    """Opens the authorization address (the identity provider approves at
    once and redirects) and follows the redirect to the program's loopback
    listener; returns the page the listener answered with."""
    u = urllib.parse.urlparse(url)
    c = http.client.HTTPSConnection(u.hostname, u.port, timeout=10, context=ssl.create_default_context(cafile=cafile))
    c.request("GET", u.path + "?" + u.query)
    answer = c.getresponse()
    location = answer.getheader("Location", "")
    answer.read()
    c.close()
    back = urllib.parse.urlparse(location)
    c = http.client.HTTPConnection(back.hostname, back.port, timeout=10)
    c.request("GET", back.path + "?" + back.query)
    page = c.getresponse().read()
    c.close()
    return page
