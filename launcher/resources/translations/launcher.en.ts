<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<!-- The English texts of the launcher's text identifiers. Compiled with "lrelease -idbased" into
     launcher.en.qm, which the launcher loads from the Resources folder next to its executable's
     folder. The About text takes six values: %1 application name, %2 launcher version, %3 Qt
     version, %4 licence address, %5 Qt source address, %6 maker's web site. -->
<TS version="2.1" language="en_US">
<context>
    <name></name>
    <message id="launcher.about.title">
        <source>About Orvane Online</source>
        <translation>About Orvane Online</translation>
    </message>
    <message id="launcher.about.text">
        <source>&lt;p&gt;&lt;b&gt;%1&lt;/b&gt;&lt;br&gt;Launcher version %2&lt;/p&gt;&lt;p&gt;Built with Qt %3, used under the GNU Lesser General Public License version 3: &lt;a href=&quot;%4&quot;&gt;%4&lt;/a&gt;&lt;br&gt;The source code of Qt is available at &lt;a href=&quot;%5&quot;&gt;%5&lt;/a&gt;&lt;/p&gt;&lt;p&gt;&amp;copy; Kettrel GmbH &amp;mdash; &lt;a href=&quot;%6&quot;&gt;%6&lt;/a&gt;&lt;/p&gt;</source>
        <translation>&lt;p&gt;&lt;b&gt;%1&lt;/b&gt;&lt;br&gt;Launcher version %2&lt;/p&gt;&lt;p&gt;Built with Qt %3, used under the GNU Lesser General Public License version 3: &lt;a href=&quot;%4&quot;&gt;%4&lt;/a&gt;&lt;br&gt;The source code of Qt is available at &lt;a href=&quot;%5&quot;&gt;%5&lt;/a&gt;&lt;/p&gt;&lt;p&gt;&amp;copy; Kettrel GmbH &amp;mdash; &lt;a href=&quot;%6&quot;&gt;%6&lt;/a&gt;&lt;/p&gt;</translation>
    </message>
</context>
</TS>
